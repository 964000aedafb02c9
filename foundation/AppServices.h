#pragma once
// The application's general thread pool (no name, one thread, kind 4) and its manual
// dispatcher for the UI thread (no name, at most 512 pending jobs).
//
// Contract:
// - CreateAppServices is called once by the start-up on the main thread, DestroyAppServices
//   last by the shutdown (it releases the dispatcher, then deletes the pool, which stops its
//   thread after the jobs already queued).
// - GetAppThreadPool and GetAppDispatcher may be called from any thread; between creation and
//   destruction they return the services, otherwise null. A small lock guards the two
//   pointers; a caller keeps the dispatcher alive through the shared pointer it gets.
// - PumpAppDispatcher runs the dispatcher once on the calling (UI) thread: its queued jobs,
//   then its due timed jobs; true when anything ran, false without a dispatcher.

#include <memory>

#include "foundation/ManualDispatcher.h"
#include "foundation/ThreadPool.h"

namespace Vel {

inline constexpr int kAppDispatcherMaxPending = 512;

void CreateAppServices();
void DestroyAppServices();
VelThreadPool* GetAppThreadPool();
std::shared_ptr<ManualDispatcher> GetAppDispatcher();
bool PumpAppDispatcher();

}  // namespace Vel
