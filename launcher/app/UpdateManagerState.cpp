#include "launcher/app/UpdateManagerState.h"

#include "delivery/update/UpdateManager.h"

namespace Vel {

bool UpdateManagerState::IsMaintenanceMode() { return UpdateManager::IsMaintenanceMode(); }
bool UpdateManagerState::CanStartClient() { return UpdateManager::CanStartClient(); }
bool UpdateManagerState::IsClientRunning() { return UpdateManager::IsClientRunning(); }
bool UpdateManagerState::IsUpdateRunning() { return UpdateManager::IsUpdateRunning(); }
void UpdateManagerState::CheckForUpdate() { UpdateManager::CheckForUpdate(); }
UpdateManager::UpdateFailure UpdateManagerState::TakeLastFailure() { return UpdateManager::TakeLastFailure(); }

}  // namespace Vel
