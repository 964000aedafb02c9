#pragma once
// The process's request scheduler: where the router connection and the update manager run
// their steps when no other scheduler is configured (the application thread pool, installed
// by the start-up).
//
// Contract: by default the scheduler is the application thread pool (foundation/runtime/AppServices.h):
// jobs run on its thread, delayed jobs through its PostAfter (the timed-job service). Without
// the pool (before CreateAppServices, after DestroyAppServices) jobs are dropped.
// SetAppRequestScheduler replaces it (tests; null restores the pool) and must not race a
// request; the scheduler must outlive every use.

#include "delivery/update/RouterConnector.h"

namespace Vel::RouterConnector {

void SetAppRequestScheduler(IRequestScheduler* scheduler);
IRequestScheduler& AppRequestScheduler();

}  // namespace Vel::RouterConnector
