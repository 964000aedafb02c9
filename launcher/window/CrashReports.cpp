#include "launcher/window/CrashReports.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>

#include "delivery/archive/Deflate.h"
#include "delivery/net/HttpClient.h"
#include "delivery/net/ServiceEndpoints.h"
#include "delivery/archive/Zip.h"
#include "foundation/data/ContentFormat.h"
#include "foundation/data/Crc32.h"
#include "foundation/core/CrashHandler.h"
#include "foundation/core/Exception.h"
#include "foundation/text/LocalizedStrings.h"
#include "foundation/data/MemoryStream.h"
#include "foundation/files/Paths.h"
#include "foundation/config/SiteName.h"
#include "foundation/core/StringUtils.h"
#include "foundation/runtime/SystemInfo.h"
#include "foundation/time/TimeStamp.h"
#include "foundation/runtime/VelURI.h"
#include "platform/Prompt.h"

namespace Vel {
namespace {

using Platform::PromptButtons;
using Platform::PromptIcon;

constexpr const char* kRetryQuestion = "Failed sending error crash report. Retry?";
// The largest dump or log the report reads into memory.
constexpr std::uint64_t kMaxReportFile = 256u * 1024 * 1024;

// Writes an element's opening tag when made and its closing tag when it ends; the forms with a
// value write the escaped value right after the opening tag.
class XmlElementWriter {
public:
    XmlElementWriter(std::ostream& out, std::string name) : out_(out), name_(std::move(name)) {
        out_ << '<' << name_ << '>';
    }
    XmlElementWriter(std::ostream& out, std::string name, const std::string& value) : XmlElementWriter(out, name) {
        out_ << XmlEscapeUtf8(value);
    }
    XmlElementWriter(std::ostream& out, std::string name, std::int64_t value)
        : XmlElementWriter(out, std::move(name), std::to_string(value)) {}
    XmlElementWriter(std::ostream& out, std::string name, std::uint64_t value)
        : XmlElementWriter(out, std::move(name), std::to_string(value)) {}
    XmlElementWriter(std::ostream& out, std::string name, bool value)
        : XmlElementWriter(out, std::move(name), std::string(value ? "1" : "0")) {}
    ~XmlElementWriter() { out_ << "</" << name_ << '>'; }
    XmlElementWriter(const XmlElementWriter&) = delete;
    XmlElementWriter& operator=(const XmlElementWriter&) = delete;

private:
    std::ostream& out_;
    std::string name_;
};

std::string Value(const std::map<std::string, std::string>& log, const std::string& key) {
    const auto it = log.find(key);
    return it == log.end() ? std::string() : it->second;
}

// A whole-text decimal number, 0 when the text is not one or does not fit.
std::int64_t Int64Of(const std::string& text) {
    std::int64_t v = 0;
    return ParseInt64(text, v) ? v : 0;
}
std::int32_t Int32Of(const std::string& text) {
    const std::int64_t v = Int64Of(text);
    return v >= INT32_MIN && v <= INT32_MAX ? static_cast<std::int32_t>(v) : 0;
}

void AddFileToArchive(Zip& archive, const std::string& name, const std::string& bytes) {
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
    VelMemoryStream deflated;
    const std::uint32_t packed = DeflateRaw(data, bytes.size(), deflated, 9);
    archive.AddEntry(name, MakeContentFormatCode(1, 0), Crc32(data, bytes.size()), packed,
                     static_cast<std::uint32_t>(bytes.size()), deflated.GetData(), packed);
}

CrashReportMachine DescribeMachine() {
    CollectSystemInfo();
    CrashReportMachine m;
    m.site = GetSiteName();
    if (m.site.empty()) m.site = kProductionSiteName;
    m.osName = GetOsName();
    m.memoryMB = GetPhysicalMemoryMB();
    m.gfxName = GetGraphicsAdapterInfo().description;
    m.gfxDriver = GetGraphicsDriverVersion().ToString();
    m.sndName = GetSoundDeviceName();
    m.sndDriver = GetSoundDriverVersion().ToString();
    m.customerId = GetCustomerId();
    return m;
}

bool Retry(const std::string& caption) {
    return Platform::GetPrompt().Show(kRetryQuestion, caption, PromptButtons::RetryCancel, PromptIcon::Error) ==
           Platform::kIdRetry;
}

}  // namespace

std::string BuildCrashInfoDocument(const std::map<std::string, std::string>& log, const std::string& time,
                                   const CrashReportMachine& machine) {
    std::ostringstream out;
    {
        XmlElementWriter root(out, "crashInfo");
        XmlElementWriter(out, "time", time);
        XmlElementWriter(out, "site", machine.site);
        XmlElementWriter(out, "login", Value(log, "Login"));
        XmlElementWriter(out, "osName", machine.osName);
        XmlElementWriter(out, "memory", static_cast<std::uint64_t>(machine.memoryMB));
        XmlElementWriter(out, "gfxName", machine.gfxName);
        XmlElementWriter(out, "gfxDriver", machine.gfxDriver);
        XmlElementWriter(out, "sndName", machine.sndName);
        XmlElementWriter(out, "sndDriver", machine.sndDriver);
        XmlElementWriter(out, "exceptionAddress", Int64Of(Value(log, "ExceptionAddress")));
        XmlElementWriter(out, "clientVersion", Value(log, "Version"));
        XmlElementWriter(out, "posX", static_cast<std::int64_t>(Int32Of(Value(log, "PosX"))));
        XmlElementWriter(out, "posY", static_cast<std::int64_t>(Int32Of(Value(log, "PosY"))));
        XmlElementWriter(out, "posZ", static_cast<std::int64_t>(Int32Of(Value(log, "PosZ"))));
        XmlElementWriter(out, "serverID", static_cast<std::int64_t>(Int32Of(Value(log, "ServerID"))));
        XmlElementWriter(out, "customerID", machine.customerId);
        XmlElementWriter(out, "usedMemory", static_cast<std::int64_t>(Int32Of(Value(log, "UsedMemory"))));
        XmlElementWriter(out, "runningTime", Value(log, "RunningTime"));
        XmlElementWriter(out, "client64bit", Value(log, "64Bit") == "1");
    }
    return out.str();
}

std::uint64_t GetCustomerId() {
    std::ifstream in("/etc/machine-id");
    std::string id;
    std::getline(in, id);
    if (id.size() < 16) return 0;
    std::uint32_t high = 0, low = 0;
    if (!ParseHexUInt32(id.substr(0, 8), high) || !ParseHexUInt32(id.substr(8, 8), low)) return 0;
    return (static_cast<std::uint64_t>(high) << 32) | low;
}

void CrashReports::ReportPendingCrashDumps(QWidget* parent) {
    try {
        for (const char* pattern : {"solvenda*.dmp", "trailstarter*.dmp"})
            for (const auto& dump : ListCrashFiles(pattern)) SendCrashReport(parent, dump);
    } catch (const Exception&) {
        // The pass ends; what was not offered is offered next time.
    }
}

bool CrashReports::ReadCrashFile(const std::string& path, std::string& bytes, std::uint64_t* createdTicks) {
    // O_NONBLOCK: opening a FIFO put in the folder must not wait for a writer.
    const int fd = ::open(ToNativePath(path).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return false;
    struct FdGuard {
        int fd;
        ~FdGuard() { ::close(fd); }
    } guard{fd};
    struct stat st{};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() || st.st_size < 0 ||
        static_cast<std::uint64_t>(st.st_size) > kMaxReportFile)
        return false;
    std::string data;
    data.reserve(static_cast<std::size_t>(st.st_size));
    char chunk[65536];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;
        data.append(chunk, static_cast<std::size_t>(n));
        if (data.size() > kMaxReportFile) return false;
    }
    if (createdTicks != nullptr) {
        struct statx sx{};
        if (::statx(fd, "", AT_EMPTY_PATH, STATX_BTIME | STATX_MTIME, &sx) != 0) return false;
        const statx_timestamp t = (sx.stx_mask & STATX_BTIME) ? sx.stx_btime : sx.stx_mtime;
        // 100-ns ticks since 1601-01-01 UTC.
        constexpr std::int64_t kUnixEpochTicks = 116444736000000000;
        const std::int64_t ticks = kUnixEpochTicks + t.tv_sec * 10'000'000 + t.tv_nsec / 100;
        if (ticks < 0) return false;
        *createdTicks = static_cast<std::uint64_t>(ticks);
    }
    bytes = std::move(data);
    return true;
}

bool CrashReports::SendCrashReport(QWidget* /*parent*/, const std::string& dumpPath) {
    const std::string logPath = ReplaceExtension(dumpPath, "log");
    // Only the user's own regular files count, read through the descriptor that was checked: a
    // link or someone else's file put in the folder is left alone and never sent.
    std::string logText, dumpBytes;
    if (!ReadCrashFile(logPath, logText) || !ReadCrashFile(dumpPath, dumpBytes)) return false;
    if (dumpBytes.empty()) {
        DeleteCrashLog(dumpPath);  // nothing to send; it would be offered at every start
        return true;
    }
    dumpBytes.clear();

    std::map<std::string, std::string> log;
    ParseKeyValueText(logText, log);
    const std::string caption = LoadLocalizedString(116);
    const CrashReportMachine machine = DescribeMachine();
    const std::string text = caption + "\n\n" + LoadLocalizedString(114) + "\n\n" + "OS = " + machine.osName + "\n" +
                             "Memory = " + std::to_string(machine.memoryMB) + "\n" +
                             "Graphics Adapter = " + machine.gfxName + "\n" +
                             "Graphics Adapter Driver Version = " + machine.gfxDriver + "\n" +
                             "Exception Address = " + std::to_string(Int64Of(Value(log, "ExceptionAddress"))) +
                             "\n" + "Version = " + Value(log, "Version") + "\n";
    if (Platform::GetPrompt().Show(text, caption, PromptButtons::OkCancel, PromptIcon::Error) != Platform::kIdOk) {
        DeleteCrashLog(dumpPath);
        return true;
    }

    // Every try reads the endpoint, the site and the log's time again and builds a new package.
    for (;;) {
        const VelURI endpoint(GetCrashReportUrl());  // a bad text throws and ends the pass
        const std::string site = GetSiteName();
        std::uint64_t ticks = 0;
        std::string unused;
        const TimeStamp created = ReadCrashFile(logPath, unused, &ticks)
                                      ? TimeStamp::FromFileTime(static_cast<std::int64_t>(ticks))
                                      : TimeStamp();
        std::string package;
        if (!BuildCrashArchive(dumpPath, logPath, package)) {
            if (Retry(caption)) continue;
            return false;
        }
        CrashReportMachine described = machine;
        described.site = site.empty() ? kProductionSiteName : site;
        const std::string body = "crashInfo=" + UrlEncode(BuildCrashInfoDocument(log, created.ToString(), described)) +
                                 "&crashDump=" + UrlEncode(Base64Encode(package, 76));
        HttpRequestOptions options;
        options.headers["Content-Type"] = "text/html";
        if (!site.empty()) options.headers["Cookie"] = "alternatesrv=" + site;
        std::string answer;
        bool sent = false;
        if (HttpPostToString(endpoint, body, answer, options, sent)) {
            DeleteCrashLog(dumpPath);
            return true;
        }
        if (!Retry(caption)) return false;
    }
}

bool CrashReports::BuildCrashArchive(const std::string& dumpPath, const std::string& logPath, std::string& bytes) {
    std::string dump, log;
    if (!ReadCrashFile(dumpPath, dump) || dump.empty() || !ReadCrashFile(logPath, log)) return false;
    const std::string path = GetCrashFolder() + "crash.zip";
    TryDeleteFileIfPresent(path);
    try {
        {
            Zip archive(path, kZipWritable);
            AddFileToArchive(archive, GetFileName(dumpPath), dump);
            AddFileToArchive(archive, GetFileName(logPath), log);
        }
        return ReadCrashFile(path, bytes);
    } catch (const Exception&) {
        return false;
    }
}

void CrashReports::DeleteCrashLog(const std::string& dumpPath) {
    TryDeleteFileIfPresent(dumpPath);
    TryDeleteFileIfPresent(ReplaceExtension(dumpPath, "log"));
}

}  // namespace Vel
