#include "foundation/core/Exception.h"

#include "foundation/core/SystemErrorText.h"
#include "platform/LastError.h"

namespace Vel {
namespace {
thread_local const Exception* t_current = nullptr;
}

Exception::Exception(std::string text) : message_(std::move(text)) {
    Platform::LastErrorGuard keep;
    callStack_ = std::make_shared<VelCallStack>(8, 2);
    if (t_current != this) t_current = this;
}

Exception::Exception(const Exception& other)
    : std::exception(other),
      message_(other.message_),
      secondText_(other.secondText_),
      callStack_(other.callStack_) {}

Exception::~Exception() {
    Platform::LastErrorGuard keep;
    if (t_current == this) t_current = nullptr;
}

const Exception* Exception::Current() noexcept { return t_current; }

SystemException::SystemException(std::string text, bool useSystemText)
    : Exception(std::move(text)), errorCode_(Platform::GetLastError()), useSystemText_(useSystemText ? 1 : 0) {
    AppendSystemText();
}

void SystemException::AppendSystemText() {
    Platform::LastErrorGuard keep;
    message_ += " System error: " + GetErrorText();
}

std::string SystemException::GetErrorText() const {
    if (!errorText_.empty()) return errorText_;
    if (useSystemText_ && errorCode_ != 0) return SystemErrorText(errorCode_);
    return {};
}

FileException::FileException(std::string fileName, bool useSystemText)
    : SystemException("FileException: " + fileName, useSystemText), fileName_(std::move(fileName)) {}

NetworkException::NetworkException(std::string url, std::string errorText)
    : SystemException("NetworkException: " + url, true), url_(std::move(url)) {
    if (!errorText.empty()) errorText_ = std::move(errorText);
}

}  // namespace Vel
