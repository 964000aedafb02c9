#include "delivery/net/DownloadManager.h"

#include <unistd.h>

#include <algorithm>

#include "delivery/net/BodyBufferPool.h"
#include "delivery/net/ServiceEndpoints.h"
#include "foundation/runtime/AppServices.h"
#include "foundation/data/Crc32.h"
#include "foundation/core/Exception.h"
#include "foundation/files/Paths.h"
#include "foundation/config/RegistrySettings.h"
#include "foundation/config/SettingKey.h"
#include "foundation/core/StringUtils.h"
#include "foundation/files/XMLParser.h"
#include "platform/LastError.h"
#include "platform/NetworkErrors.h"
#include "platform/Prompt.h"

namespace Vel {
namespace {

// Up to this much is reserved before the first byte arrives; a larger file grows as it comes.
constexpr std::uint32_t kUpFrontReserveLimit = 16u * 1024 * 1024;
constexpr std::uint16_t kPlainHttpPort = 80;
constexpr std::uint16_t kSecureHttpPort = 443;

bool IsHttpsUrl(const std::string& url) {
    if (url.size() < 8) return false;
    std::string scheme = url.substr(0, 8);
    for (char& c : scheme)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return scheme == "https://";
}

std::uint64_t CurrentThreadKey() { return static_cast<std::uint64_t>(::gettid()); }

// The port written in the URL text; 0 when there is none (or it is 0).
unsigned ExplicitPort(const std::string& url) {
    const auto scheme = url.find("://");
    if (scheme == std::string::npos) return 0;
    const auto begin = scheme + 3;
    const auto end = url.find_first_of("/?", begin);
    const std::string authority = url.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
    const auto colon = authority.find(':');
    if (colon == std::string::npos) return 0;
    unsigned port = 0;
    for (char c : authority.substr(colon + 1)) {
        if (c < '0' || c > '9' || port > 65535) return 0;
        port = port * 10 + static_cast<unsigned>(c - '0');
    }
    return port <= 65535 ? port : 0;
}

void AnnounceMissingPassword() {
    auto show = [] {
        Platform::ShowPrompt(kMissingDownloadPasswordText, Platform::PromptButtons::Ok, Platform::PromptIcon::None,
                             "Error");
    };
    if (auto dispatcher = GetAppDispatcher())
        dispatcher->Post(show);
    else
        show();
}

}  // namespace

// ---- HttpConnection ---------------------------------------------------------------------

DownloadManager::HttpConnection::HttpConnection(const DownloadServer& server) : url_(Trim(server.url)) {
    try {
        base_ = VelURI(url_, true);
    } catch (const Exception&) {
        Platform::SetLastError(Platform::kNetInvalidUrl);
        throw NetworkException(url_, "");
    }
    const bool secure = IsHttpsUrl(url_);
    const unsigned port = ExplicitPort(url_);
    const auto connectPort = static_cast<std::uint16_t>(port != 0 ? port : secure ? kSecureHttpPort : kPlainHttpPort);
    origin_ = std::string(secure ? "https://" : "http://") + base_.GetHost() + ":" + std::to_string(connectPort);
    if (!handles_.OpenSession()) throw NetworkException(url_, "");
    if (!handles_.Connect(base_.GetHost(), connectPort, server.userName, server.password, secure))
        throw NetworkException(url_, "");
}

std::string DownloadManager::HttpConnection::MakeObject(const std::string& path) const {
    VelURI uri = base_;
    for (const std::string& element : SplitString(path, '/', false))
        if (!element.empty()) uri.AppendPath(element);
    return origin_ + uri.GetPathAndQuery(false);
}

std::shared_ptr<VelMemoryStream> DownloadManager::HttpConnection::Get(const std::string& path,
                                                                      const std::shared_ptr<ThreadJob>& job,
                                                                      std::uint32_t sizeLimit,
                                                                      const std::function<bool()>& stop) {
    auto stream = std::make_shared<VelMemoryStream>(std::max<std::uint32_t>(128, std::min(sizeLimit, kUpFrontReserveLimit)));
    Fetch(path, *stream, job, sizeLimit, stop);
    return stream;
}

std::uint32_t DownloadManager::HttpConnection::Fetch(const std::string& path, VelMemoryStream& into,
                                                     const std::shared_ptr<ThreadJob>& job, std::uint32_t sizeLimit,
                                                     const std::function<bool()>& stop) {
    const std::string object = MakeObject(path);
    const auto abortRequested = [&job, &stop] { return (job && job->IsAborted()) || (stop && stop()); };
    if (abortRequested()) throw NetworkException(object, "");

    if (!handles_.OpenRequest("GET", object)) throw NetworkException(object, "");
    struct RequestCloser {
        HttpHandles& handles;
        ~RequestCloser() { handles.CloseRequest(); }
    } closer{handles_};

    DownloadProgress* progress = job ? job->GetProgress().get() : nullptr;
    std::uint64_t counted = 0;
    std::uint64_t received = 0;
    std::uint32_t crc = 0;
    try {
        HttpRequestOptions options;
        options.timeoutMs = timeoutMs_;
        if (job || stop) options.isAborted = abortRequested;
        if (!handles_.Send({}, options)) throw NetworkException(object, "");

        bool tooLong = false;
        const bool ok = handles_.ReadBody([&](const char* data, std::size_t count) {
            if (abortRequested()) return false;
            if (received + count > sizeLimit) {
                tooLong = true;
                return false;
            }
            if (progress) {
                progress->AddDone(count);
                counted += count;
            }
            // The one pass over the bytes besides the copy: curl's buffer is still in cache.
            crc = Crc32Update(crc, data, count);
            into.Write(data, static_cast<std::uint32_t>(count));
            received += count;
            return into.IsGood();
        });
        if (tooLong) throw NetworkException(path, "size_mismatch");
        if (!ok) {
            const unsigned status = handles_.GetStatusCode();
            if (status != 0 && !handles_.IsStatusSuccess()) {
                std::string text = "Invalid response code: " + std::to_string(status);
                if (handles_.RedirectLimitPassed()) text += " (" + RedirectLimitText() + ")";
                throw NetworkException(object, text);
            }
            throw NetworkException(object, CertificateErrorText(handles_.GetFailureCode(), handles_.LastHost()));
        }
    } catch (const Exception&) {
        if (progress && counted != 0) progress->SubtractDone(counted);
        throw;
    }
    return crc;
}

// ---- DownloadManager --------------------------------------------------------------------

DownloadManager::DownloadManager() : DownloadManager(AnnounceMissingPassword) {}

DownloadManager::DownloadManager(std::function<void()> missingPasswordNotice)
    : missingPasswordNotice_(std::move(missingPasswordNotice)) {}

bool DownloadManager::LoadLocked() {
    std::string text;
    bool fetched = false;
    try {
        VelURI listUri(GetUpdateBaseUrl(), true);
        listUri.AppendPath("download_servers.xml");
        bool sent = false;
        fetched = HttpGetToString(listUri, text, sent);
    } catch (const Exception&) {
        fetched = false;  // an update base URL that does not parse: as a failed fetch
    }
    if (fetched) {
        const XMLParser parser(text);
        if (parser.IsValid()) {
            const XPathResult result = parser.GetRootNode().Select("downloadServer");
            for (std::size_t i = 0; i < result.GetCount() && servers_.size() < kMaxDownloadServers; ++i) {
                const XMLNode node = result.GetNode(i);
                if (!node.IsNull()) servers_.push_back({Trim(node.GetText()), {}, {}});
            }
        }
    }
    if (!servers_.empty()) return false;

    // The fetch failed, or named no server: the one fallback server.
    const std::string password = Settings::DownloadPassword.Read();
    servers_.push_back({GetDownloadBaseUrl(), "client", password});
    return password.empty();
}

void DownloadManager::LoadDownloadServers() {
    bool announce = false;
    {
        VelMutex::ScopedLock lock(mutex_);
        if (!servers_.empty()) return;
        announce = LoadLocked();
    }
    if (announce && missingPasswordNotice_) missingPasswordNotice_();
}

void DownloadManager::GetDownloadServers(std::vector<DownloadServer>& out) {
    LoadDownloadServers();
    VelMutex::ScopedLock lock(mutex_);
    out = servers_;
}

std::shared_ptr<DownloadManager::HttpConnection> DownloadManager::GetConnection() {
    LoadDownloadServers();
    VelMutex::ScopedLock lock(mutex_);
    const std::uint64_t key = CurrentThreadKey();
    if (auto it = connections_.find(key); it != connections_.end()) return it->second;
    const DownloadServer& server = servers_[index_ % servers_.size()];
    auto connection = std::make_shared<HttpConnection>(server);
    connection->SetTimeout(timeoutMs_.load());
    connections_[key] = connection;
    return connection;
}

void DownloadManager::ResetServers() {
    std::map<std::uint64_t, std::shared_ptr<HttpConnection>> dropped;
    VelMutex::ScopedLock lock(mutex_);
    dropped.swap(connections_);
    index_ = 0;
}

bool DownloadManager::NextServer() {
    std::map<std::uint64_t, std::shared_ptr<HttpConnection>> dropped;
    VelMutex::ScopedLock lock(mutex_);
    dropped.swap(connections_);
    ++index_;
    return index_ < servers_.size();
}

void DownloadManager::ReleaseConnections() {
    std::map<std::uint64_t, std::shared_ptr<HttpConnection>> dropped;
    VelMutex::ScopedLock lock(mutex_);
    dropped.swap(connections_);
}

std::shared_ptr<VelMemoryStream> DownloadManager::DownloadFile(const std::string& path,
                                                               std::uint32_t expectedStoredSize,
                                                               std::uint32_t expectedStoredCrc,
                                                               const std::shared_ptr<ThreadJob>& job,
                                                               const std::function<bool()>& stop) {
    LoadDownloadServers();
    std::string serverPath = "/dynamic_content";
    for (const std::string& piece : SplitString(NormalizePath(path), '/', true))
        if (!piece.empty()) serverPath += "/" + piece;

    const auto connection = GetConnection();
    // Sized once for the file: the sink refuses anything longer, so the block never grows. A
    // size beyond the up-front limit (from a damaged or hostile description) is not taken on
    // trust: such a body grows in steps as it arrives.
    auto stream = GetBodyBufferPool().Take(std::min(expectedStoredSize, kUpFrontReserveLimit));
    // Fetch takes back what it counted when it throws; the checks below take it back themselves.
    const std::uint32_t crc = connection->Fetch(serverPath, *stream, job, expectedStoredSize, stop);
    const char* mismatch = nullptr;
    if (stream->GetSize() != expectedStoredSize)
        mismatch = "size_mismatch";
    else if (crc != expectedStoredCrc)
        mismatch = "CRC_mismatch";
    if (mismatch) {
        if (job) job->GetProgress()->SubtractDone(stream->GetSize());
        throw NetworkException(serverPath, mismatch);
    }
    return stream;
}

DownloadManager& GetDownloadManager() {
    static DownloadManager manager;
    return manager;
}

}  // namespace Vel
