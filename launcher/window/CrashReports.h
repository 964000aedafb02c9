#pragma once
// The crash report upload: offers each pending dump of the crash folder (the client's first,
// then the launcher's), and on OK packs the dump and its log into "crash.zip" and posts them with
// a description of the machine and the crash to the crash-report endpoint ("crash.report_url").
//
// Contract:
// - GUI thread only; the questions go through the process prompt (platform/Prompt.h) and the
//   upload blocks the caller until it ends.
// - Dumps and logs are read only through ReadCrashFile: a symbolic link, or a file that is not
//   a regular file of the user running the launcher, is never read, offered or sent, and stays.
// - A dump without its log is left alone and not asked about. A dump of 0 bytes holds nothing
//   to send: it is deleted with its log without a question.
// - Declined (Cancel on the offer) or sent (status 200 to 299): the dump and its log are
//   deleted. A failed package or post asks "Failed sending error crash report. Retry?"; Retry
//   reads the endpoint, the site and the log's time again and builds the package again; Cancel
//   keeps both files for the next offer.
// - A Vel::Exception anywhere (a bad endpoint text, for instance) ends the pass silently.
// - The form: "crashInfo=" + UrlEncode(one-line crashInfo XML) + "&crashDump=" +
//   UrlEncode(Base64 of the package, "\r\n" after every 76 characters); Content-Type
//   "text/html", and "Cookie: alternatesrv=" + site when the site name is not empty.

#include <cstdint>
#include <map>
#include <string>

#include "launcher/window/MainWindowServices.h"

namespace Vel {

// The production site's name in the report when the site name is empty.
inline constexpr const char* kProductionSiteName = "pro01";

struct CrashReportMachine {
    std::string site;
    std::string osName;
    std::uint32_t memoryMB = 0;
    std::string gfxName;
    std::string gfxDriver;
    std::string sndName;
    std::string sndDriver;
    std::uint64_t customerId = 0;
};

// The one-line crashInfo document for a crash log's values, its time text and the machine.
std::string BuildCrashInfoDocument(const std::map<std::string, std::string>& log, const std::string& time,
                                   const CrashReportMachine& machine);

// A stable number for this machine (from /etc/machine-id); 0 when there is none.
std::uint64_t GetCustomerId();

class CrashReports final : public ICrashReports {
public:
    void ReportPendingCrashDumps(QWidget* parent) override;

    // One dump: true when it was sent, declined or dropped (its files are gone).
    bool SendCrashReport(QWidget* parent, const std::string& dumpPath);
    // Reads a crash file whole through one descriptor, opened without following a symbolic link
    // and checked to be a regular file of this process's user, of at most 256 MiB; with
    // createdTicks, also its birth time (else its last-write time) in 100-ns ticks since 1601.
    static bool ReadCrashFile(const std::string& path, std::string& bytes, std::uint64_t* createdTicks = nullptr);
    // Writes the crash folder's "crash.zip" with the dump and the log and returns its bytes.
    static bool BuildCrashArchive(const std::string& dumpPath, const std::string& logPath, std::string& bytes);
    static void DeleteCrashLog(const std::string& dumpPath);
};

}  // namespace Vel
