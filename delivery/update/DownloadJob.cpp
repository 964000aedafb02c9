#include "delivery/update/DownloadJob.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "delivery/net/HttpClient.h"
#include "foundation/core/Exception.h"
#include "foundation/text/LocalizedStrings.h"
#include "foundation/files/Paths.h"
#include "foundation/files/Win32File.h"
#include "platform/LastError.h"

namespace Vel {
namespace {

constexpr unsigned kStringDownloading = 1166;  // "Downloading %s"
constexpr unsigned kStringNetworkError = 1122;
constexpr auto kPauseSlice = std::chrono::milliseconds(50);

std::string FormatOne(std::string pattern, const std::string& argument) {
    const auto at = pattern.find("%s");
    if (at != std::string::npos) pattern.replace(at, 2, argument);
    return pattern;
}

std::string SizeMessage(std::uint64_t expected, std::uint64_t downloaded) {
    return "Invalid file size. Expected=" + std::to_string(expected) + " Downloaded= " + std::to_string(downloaded);
}

}  // namespace

DownloadItem MakeDownloadItem(const FileListEntry& entry) {
    DownloadItem item;
    item.path = GetCachedZipPath(entry);
    item.size = entry.size_zip;
    item.sha1 = entry.sha1_zip;
    item.displayName = GetDisplayName(entry);
    return item;
}

std::string NetworkErrorText(const HttpExchange& exchange) {
    std::string reason = HttpFailureText(exchange);
    const unsigned code = Platform::GetLastError();
    if (reason.empty() && code != 0) reason = "error code " + std::to_string(code);
    std::string text = LoadLocalizedString(kStringNetworkError);
    if (!reason.empty()) text += " (" + reason + ")";
    return text;
}

VelDownloadJob::VelDownloadJob(std::vector<DownloadMirror> mirrors, DownloadItem item, std::string targetDir,
                               std::shared_ptr<ICallback> callback, bool keepPath, IClock& clock)
    : item_(std::move(item)),
      targetDir_(std::move(targetDir)),
      keepPath_(keepPath),
      mirrors_(std::move(mirrors)),
      callback_(std::move(callback)),
      clock_(clock) {}

VelDownloadJob::~VelDownloadJob() {
    if (ran_ || !callback_) return;
    try {
        callback_->OnDiscarded(item_);
    } catch (...) {
        // a destructor reports what it can and nothing more
    }
}

std::string VelDownloadJob::TargetPath() const {
    const std::string name = keepPath_ ? item_.path : GetFileName(item_.path);
    return ToNativePath(JoinPath(targetDir_, name));
}

void VelDownloadJob::Run() {
    ran_ = true;
    ApplyThreadUiLanguage();
    bool failed = true;
    try {
        if (!callback_->IsAborted()) {
            DownloadWithRetries();
            failed = false;
        }
    } catch (const AbortException&) {
    } catch (const std::exception&) {
        // Anything the retry loop did not take as a failed attempt still ends the job once.
    }
    callback_->OnDone(item_, failed);
}

void VelDownloadJob::DownloadWithRetries() {
    callback_->SetStatus(item_.displayName);
    callback_->SetTransferring(false);
    callback_->AddProgress(0);
    const std::size_t n = mirrors_.size();
    const std::size_t limit = std::max<std::size_t>(n, 3);
    std::size_t attempt = 0;
    for (;;) {
        std::string detail;
        if (n == 0) {
            detail = "No update server is known.";
            attempt = limit;  // nothing to walk through: the cycle has failed
        } else {
            currentMirror_ = &mirrors_[attempt % n];
            try {
                DownloadOnce();
                return;
            } catch (const AbortException&) {
                throw;
            } catch (const DownloadException& e) {
                detail = e.GetDetail();
            } catch (const Exception& e) {
                detail = e.Message();
            }
        }
        const std::size_t previous = attempt++;
        if (previous >= limit) {
            if (!callback_->OnRetry(item_, detail)) throw AbortException();
            attempt = 0;
        }
        Pause();
    }
}

void VelDownloadJob::Pause() {
    const MonoTime end = clock_.Now() + kRetryPause;
    for (MonoTime now = clock_.Now(); now < end; now = clock_.Now()) {
        if (callback_->IsAborted()) throw AbortException();
        clock_.SleepFor(std::min<MonoDuration>(kPauseSlice, end - now));
    }
    if (callback_->IsAborted()) throw AbortException();
}

void VelDownloadJob::DownloadOnce() {
    if (callback_->IsAborted()) throw AbortException();
    if (!IsSafeRelativePath(item_.path)) throw DownloadException("Invalid file path: " + item_.path);

    const std::string path = TargetPath();
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    if (ec) throw DownloadException("Could not create the folder of " + path + ": " + ec.message());
    if (!TryDeleteFileIfPresent(path)) throw DownloadException("Could not delete " + path);

    callback_->SetStatus(FormatOne(LoadLocalizedString(kStringDownloading), item_.displayName));
    callback_->SetTransferring(true);

    Win32File file(path, Win32File::kWrite, 0, Win32File::kCreateAlways);
    if (!file.IsOpen()) throw DownloadException("Invalid file stream");

    VelCryptSHA1 sha1;
    std::uint64_t written = 0;
    struct ProgressGuard {
        ICallback& callback;
        std::uint64_t reported = 0;
        bool keep = false;
        ~ProgressGuard() {
            if (!keep && reported > 0) callback.TakeBackProgress(reported);
        }
    } progress{*callback_};

    VelURI url = currentMirror_->url;
    url.AppendPath(item_.path);
    HttpRequestOptions options;
    options.userName = currentMirror_->userName;
    options.password = currentMirror_->password;
    const std::shared_ptr<ICallback> callback = callback_;
    options.isAborted = [callback] { return callback->IsAborted(); };

    // WriteDownloadChunk: every piece is checked before it is kept.
    const HttpBodySink sink = [&](const char* data, std::size_t count) {
        if (callback_->IsAborted()) throw AbortException();
        if (!file.IsOpen()) throw DownloadException("Invalid file stream");
        if (count > item_.size - written) throw DownloadException(SizeMessage(item_.size, written + count));
        sha1.Update(data, count);
        if (!file.Write(data, count)) throw DownloadException("Invalid file stream");
        written += count;
        callback_->AddProgress(count);
        progress.reported += count;
        return true;
    };

    Platform::SetLastError(0);  // a bad status leaves the last error as it is: no stale code
    HttpExchange exchange;
    if (!HttpGet(url, sink, options, exchange)) {
        if (callback_->IsAborted()) throw AbortException();
        throw DownloadException(NetworkErrorText(exchange));
    }
    if (!file.Close()) throw DownloadException("Invalid file stream");
    if (written != item_.size) throw DownloadException(SizeMessage(item_.size, written));
    const Sha1Digest received = sha1.Final();
    if (!(received == item_.sha1))
        throw DownloadException("Invalid file hash. Expected=" + item_.sha1.ToHex() + " Downloaded=" + received.ToHex());
    progress.keep = true;
}

}  // namespace Vel
