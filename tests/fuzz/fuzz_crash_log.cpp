// A crash log that the game client (or a crash of ours) left in the crash folder, read as the
// crash report does and turned into its crashInfo document. Property: the document is
// well-formed XML whatever the log holds.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>

#include "foundation/core/CrashHandler.h"
#include "foundation/files/XMLParser.h"
#include "launcher/window/CrashReports.h"
#include "tests/fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto path = FuzzSupport::ScratchFolder() / "solvenda.log";
    FuzzSupport::WriteFile(path, data, size);
    std::map<std::string, std::string> log;
    Vel::ReadKeyValueFile(path.string(), log);
    Vel::CrashReportMachine machine;
    machine.site = "pro01";
    const std::string document = Vel::BuildCrashInfoDocument(log, "2024-01-01 00:00:00", machine);
    if (!Vel::XMLParser(document).IsValid()) {
        std::fprintf(stderr, "%s\n", document.c_str());
        FuzzSupport::Broken("crashInfo document is not well-formed");
    }
    return 0;
}
