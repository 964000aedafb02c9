#pragma once
// Raising the running instance: the instance that holds its single-instance object listens on
// a local socket named after the object; a second start sends "activate" and the first brings
// its active window to the front.
//
// Contract:
// - ActivationListener lives on the GUI thread (it is a Qt object). On "activate" it raises the
//   application's active window, else its first visible top-level window, and answers "ok".
// - RequestActivation may be called before any QApplication exists; it waits at most
//   timeoutMs and returns true only when a listener answered.
// - The socket lives in the runtime folder (InstanceObject.h) as "<object name>.sock"; a name
//   that would not fit a socket address is replaced by 16 hex digits of its hash. With no
//   runtime folder there is no socket: nobody listens and RequestActivation is false.

#include <memory>
#include <string>

class QLocalServer;

namespace Vel::Platform {

std::string ActivationSocketPath(const std::string& objectName);

class ActivationListener {
public:
    explicit ActivationListener(const std::string& objectName);
    ~ActivationListener();
    ActivationListener(const ActivationListener&) = delete;
    ActivationListener& operator=(const ActivationListener&) = delete;
    bool IsListening() const;

private:
    std::unique_ptr<QLocalServer> server_;
};

bool RequestActivation(const std::string& objectName, int timeoutMs = 2000);

}  // namespace Vel::Platform
