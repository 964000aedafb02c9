#include "launcher/window/ClientLauncher.h"

#include "delivery/workers/MainWindowMessages.h"
#include "delivery/update/UpdateManager.h"
#include "foundation/core/AppEnvironment.h"
#include "foundation/text/LocalizedStrings.h"
#include "foundation/files/Paths.h"
#include "foundation/runtime/ProcessRuntime.h"
#include "foundation/threads/Thread.h"
#include "launcher/toolsheet/ClientOptionsPage.h"
#include "platform/InstanceObject.h"
#include "platform/Process.h"
#include "platform/Prompt.h"

#include <sstream>

namespace Vel {

std::string ClientExecutablePath(bool use64, const std::string& nameSuffix) {
    return std::string(use64 ? "bin64/" : "bin32/") + "Solvenda" + nameSuffix;
}

std::vector<std::string> ClientArguments(const std::string& switches) {
    std::vector<std::string> arguments{"--run"};
    std::istringstream in(switches);
    for (std::string word; in >> word;) arguments.push_back(word);
    return arguments;
}

ClientLauncher::ClientLauncher(std::function<Choice()> chooser) : chooser_(std::move(chooser)) {
    if (!chooser_) {
        chooser_ = [] {
            VelClientOptionsDlg page;
            Choice choice;
            choice.switches = page.GetLaunchArguments();
            choice.use64 = IsWow64() && page.GetUse64bitClient();
            return choice;
        };
    }
}

ClientLauncher::~ClientLauncher() {
    try {
        StopMonitor();
    } catch (...) {
    }
}

bool ClientLauncher::LaunchClient(QWidget*) {
    const Choice choice = chooser_();
    const std::string folder = GetCurrentDir(false, false);
    const std::string path = ClientExecutablePath(choice.use64, GetExeNameSuffix());
    const std::string absolute = JoinPath(folder, path);
    if (!FileExists(absolute)) {
        Platform::ShowPrompt("Client executable not found.\nPlease restart Solvenda Frontier and try again.\nFile: " + path,
                             Platform::PromptButtons::Ok, Platform::PromptIcon::None);
        PostMainWindowMessage(MainWindowMessage::ClientEnded, 0);
        return false;
    }
    Platform::ProcessStart start;
    start.program = absolute;
    start.arguments = ClientArguments(choice.switches);
    start.workingDirectory = folder;
    start.newSession = true;  // the game outlives whatever ends the launcher's process group
    const pid_t pid = Platform::StartProcess(start);
    if (pid <= 0) {
        PostMainWindowMessage(MainWindowMessage::ClientEnded, 0);
        return false;
    }
    StartClientMonitor(pid);
    return true;
}

void ClientLauncher::StartClientMonitor(pid_t pid) {
    UpdateManager::SetClientRunning();
    StopMonitor();
    active_ = std::make_shared<std::atomic<bool>>(true);
    monitor_ = std::make_shared<VelThread>(
        [pid, name = UpdateManager::ClientInstanceObjectName(), active = active_, poll = pollMs_] {
            try {
                Monitor(pid, name, active, poll);
            } catch (...) {
                // The client is simply no longer watched.
            }
        },
        "SolvendaMonitor", VelThread::kKindWorker);
    monitor_->Start();
}

void ClientLauncher::StopMonitor() {
    if (active_) active_->store(false);
    if (monitor_) monitor_->Join();
    monitor_.reset();
}

void ClientLauncher::Monitor(pid_t pid, std::string objectName, std::shared_ptr<std::atomic<bool>> active,
                             int pollMs) {
    ApplyThreadUiLanguage();
    bool seen = false;
    bool reaped = false;
    int status = 0;
    while (active->load()) {
        const bool held = Platform::InstanceObject::Exists(objectName);
        if (held) seen = true;
        if (seen && !held) {
            // The client let its object go; it normally ends right after.
            reaped = Platform::WaitForChildFor(pid, pollMs, status) != Platform::ChildWait::Running;
            break;
        }
        const Platform::ChildWait wait = Platform::WaitForChildFor(pid, pollMs, status);
        if (wait != Platform::ChildWait::Running) {
            reaped = true;
            break;
        }
    }
    if (!active->load()) return;  // the window goes: nobody waits for the message
    UpdateManager::OnClientExited();
    PostMainWindowMessage(MainWindowMessage::ClientEnded, seen ? 1 : 0);
    // A client that let its object go but still runs is reaped when it ends.
    while (!reaped && active->load()) {
        if (Platform::WaitForChildFor(pid, pollMs, status) != Platform::ChildWait::Running) reaped = true;
    }
    if (!reaped) Platform::WaitForChildFor(pid, 0, status);
}

}  // namespace Vel
