#pragma once
// The main window's view of the update manager: its client state and version check.
// GUI thread (the window's handlers); each call goes straight to the update manager, which
// takes its own lock.

#include "launcher/window/MainWindowServices.h"

namespace Vel {

class UpdateManagerState final : public IUpdateState {
public:
    bool IsMaintenanceMode() override;
    bool CanStartClient() override;
    bool IsClientRunning() override;
    bool IsUpdateRunning() override;
    void CheckForUpdate() override;
    UpdateManager::UpdateFailure TakeLastFailure() override;
};

}  // namespace Vel
