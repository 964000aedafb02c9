#pragma once
// The exception family: every recoverable failure is thrown as one of these.
//
// Contract:
// - Constructing or destroying any of them leaves the thread's last system error
//   (Vel::Platform::GetLastError) as it was; SystemException captures it at construction.
// - Copies share one call-stack record through an atomic reference count; the record is kept
//   empty (nothing reads it).
// - Each thread has a current-exception slot that the newest constructed exception occupies and
//   that its destructor clears; the slot never owns the object.
// - Exceptions are not shared between threads except as copies.

#include <array>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>

namespace Vel {

struct VelCallStack {
    VelCallStack(int /*skip*/, int /*depth*/) {}
    std::array<std::uint64_t, 30> frames{};
    unsigned count = 0;
};

class Exception : public std::exception {
public:
    explicit Exception(std::string text = {});
    Exception(const Exception& other);
    Exception& operator=(const Exception& other) = default;
    ~Exception() override;

    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& Message() const noexcept { return message_; }

    // The calling thread's current exception, or null.
    static const Exception* Current() noexcept;

protected:
    std::string message_;
    std::string secondText_;
    std::shared_ptr<VelCallStack> callStack_;
};

class SystemException : public Exception {
public:
    explicit SystemException(std::string text, bool useSystemText = true);
    SystemException(const SystemException&) = default;

    // The stored error text if set; else, with the flag set and a non-zero saved code, the
    // system's message for that code; else "".
    std::string GetErrorText() const;
    unsigned GetErrorCode() const noexcept { return errorCode_; }

protected:
    void AppendSystemText();

    unsigned errorCode_ = 0;
    int useSystemText_ = 0;
    std::string errorText_;
};

class FileException : public SystemException {
public:
    explicit FileException(std::string fileName, bool useSystemText = true);
    FileException(const FileException&) = default;
    const std::string& GetFileName() const noexcept { return fileName_; }

private:
    std::string fileName_;
};

class NetworkException : public SystemException {
public:
    NetworkException(std::string url, std::string errorText);
    NetworkException(const NetworkException&) = default;
    const std::string& GetUrl() const noexcept { return url_; }

private:
    std::string url_;
};

class AbortException : public Exception {
public:
    AbortException() : Exception() {}
    AbortException(const AbortException&) = default;
};

class DownloadException : public Exception {
public:
    explicit DownloadException(std::string detail) : Exception(), detail_(std::move(detail)) {}
    DownloadException(const DownloadException&) = default;
    const std::string& GetDetail() const noexcept { return detail_; }

private:
    std::string detail_;
};

}  // namespace Vel
