#pragma once
// The application object: declares the command line, starts the runtime, handles the special
// start modes, enforces the single instance, settles language and terms, starts the services,
// runs the main window, stops the services in order and restarts after a self-update.
//
// Contract: constructed and run on the main thread after the QApplication exists. InitInstance
// runs the whole life of the launcher and always returns false; ExitInstance follows it and
// gives the process's exit status (8 bits). One instance per process (the runtime starts once).
// Only an instance object that another process holds counts as a running instance; one that
// cannot be made (no private runtime folder, see platform/InstanceObject.h) ends the start with
// the folder and the system's reason.

#include <memory>
#include <string>
#include <vector>

#include "launcher/app/StartupServices.h"

namespace Vel {

namespace Platform {
class ActivationListener;
}

class CTrailstarterApp {
public:
    // `arguments` is the command line without the program's path, copied before Qt saw it.
    CTrailstarterApp(IStartupServices& services, std::vector<std::string> arguments);
    ~CTrailstarterApp();

    bool InitInstance();
    int ExitInstance();

    // Brings the running instance's window to the front, or says that it is running.
    static void ActivateRunningInstance();

private:
    IStartupServices& services_;
    std::vector<std::string> arguments_;
    std::unique_ptr<Platform::ActivationListener> activationListener_;
};

int RunTrailstarter(int argc, char** argv);

}  // namespace Vel
