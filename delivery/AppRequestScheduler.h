#pragma once
// The process's request scheduler: where the router connection and the update manager run
// their steps when no other scheduler is configured (the application thread pool, installed
// by the start-up).
//
// Contract: SetAppRequestScheduler is called on the main thread at start-up (and by tests)
// before any request; the scheduler must outlive every use. Using it while none is installed
// is a fatal error (a request would never be answered).

#include "delivery/RouterConnector.h"

namespace Vel::RouterConnector {

void SetAppRequestScheduler(IRequestScheduler* scheduler);
IRequestScheduler& AppRequestScheduler();

}  // namespace Vel::RouterConnector
