#include "launcher/app/TrailstarterApp.h"

#include "launcher/controls/LauncherStyle.h"
#include "launcher/controls/WindowFrame.h"

#include <QApplication>
#include <boost/program_options.hpp>

#include "foundation/core/SystemErrorText.h"
#include "foundation/runtime/ProcessRuntime.h"
#include "foundation/text/LocalizedStrings.h"
#include "platform/InstanceActivation.h"
#include "platform/InstanceObject.h"
#include "platform/LastError.h"
#include "platform/Process.h"
#include "platform/Prompt.h"

namespace Vel {
namespace po = boost::program_options;

namespace {
constexpr int kParentWaitMs = 10000;
constexpr unsigned kUserFolderFlags = 3;  // create the folders; set content folder and resource root
constexpr unsigned kInstanceLockFailed = 1291;  // "... cannot create its instance lock in %s ..."

// The single-instance object could not even be made: say where and why. Never "already
// running", since nobody holds it.
void ReportInstanceLockFailure() {
    const unsigned code = Platform::GetLastError();
    const Platform::RuntimeDirectoryChoice dir = Platform::ChooseRuntimeDirectory();
    const std::string folder = dir.path.empty() ? dir.refused : dir.path;
    const std::string format = LoadLocalizedString(kInstanceLockFailed);
    const auto at = format.find("%s");
    std::string text = at == std::string::npos ? format + " " + folder
                                               : format.substr(0, at) + folder + format.substr(at + 2);
    text += "\n\n" + SystemErrorText(code);
    Platform::ShowPrompt(text, Platform::PromptButtons::Ok, Platform::PromptIcon::Error);
}
}  // namespace

CTrailstarterApp::CTrailstarterApp(IStartupServices& services, std::vector<std::string> arguments)
    : services_(services), arguments_(std::move(arguments)) {}

CTrailstarterApp::~CTrailstarterApp() = default;

bool CTrailstarterApp::InitInstance() {
    bool quiet = false;
    bool allowMultipleInstances = false;
    std::string changePublicUsersDir;
    bool afterPatch = false;
    unsigned long waitForParent = 0;

    po::options_description options("", 80, 40);
    options.add_options()
        ("quiet,q", po::bool_switch(&quiet))
        ("allow-mutiple-instances", po::bool_switch(&allowMultipleInstances))
        ("change-public-users-dir", po::value<std::string>(&changePublicUsersDir))
        ("after-patch", po::bool_switch(&afterPatch))
        ("wait-for-parent", po::value<unsigned long>(&waitForParent));

    RuntimeInit(kRuntimeRootFromCurrentDir, options, arguments_);

    if (waitForParent != 0) services_.WaitForParentProcess(static_cast<pid_t>(waitForParent), kParentWaitMs);

    if (afterPatch) {
        Platform::ShowPrompt("New update system installed!\r\nPlease restart Solvenda Frontier.",
                             Platform::PromptButtons::Ok, Platform::PromptIcon::Information);
        return false;
    }

    const bool skipTerms = quiet || !changePublicUsersDir.empty();

    if (!allowMultipleInstances) {
        Platform::InstanceObject::Result outcome = Platform::InstanceObject::Result::Failed;
        if (!AcquireSingleInstance(false, "", -1, true, true, &outcome)) {
            if (outcome == Platform::InstanceObject::Result::Existed)
                ActivateRunningInstance();
            else
                ReportInstanceLockFailure();
            return false;
        }
        if (QCoreApplication::instance() != nullptr)
            activationListener_ = std::make_unique<Platform::ActivationListener>(InstanceObjectName(true, ""));
    }

    if (!services_.EnsureLanguageChosen()) return false;

    if (!skipTerms && services_.RunTermsDialog() != kTermsAccepted) return false;

    services_.InitUserFolders(kUserFolderFlags);
    services_.CreateAppServices();
    services_.StartRouter();
    services_.InitUpdateManager();

    const bool restart = services_.RunMainWindow();

    services_.ShutdownTimedJobs();
    services_.ShutdownUpdateManager();
    services_.StopRouter();
    services_.ShutdownContentDownload();
    services_.ReleaseConnections();
    services_.DestroyAppServices();

    if (restart) {
        if (!services_.RestartSelf())
            Platform::ShowPrompt("Failed to restart Trailstarter after update\r\nPlease try restarting it manually",
                                 Platform::PromptButtons::Ok, Platform::PromptIcon::Error);
    }
    return false;
}

int CTrailstarterApp::ExitInstance() {
    activationListener_.reset();
    RuntimeShutdown();
    return 0;
}

void CTrailstarterApp::ActivateRunningInstance() {
    if (Platform::RequestActivation(InstanceObjectName(true, ""))) return;
    Platform::ShowPrompt("Trailstarter is already running", Platform::PromptButtons::Ok, Platform::PromptIcon::Warning);
}

int RunTrailstarter(int argc, char** argv) {
    Platform::ExecutablePath();  // resolve it before anything can replace the file
    // Qt takes its own switches out of argv: keep the command line as it was given.
    std::vector<std::string> arguments(argv + 1, argv + argc);
    QApplication app(argc, argv);
    InstallLauncherStyle(app);
    InstallProgramIcon(app);
    auto services = MakeDefaultStartupServices();
    CTrailstarterApp trailstarter(*services, std::move(arguments));
    trailstarter.InitInstance();
    return trailstarter.ExitInstance();
}

}  // namespace Vel
