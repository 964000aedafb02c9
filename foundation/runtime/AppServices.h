#pragma once
// The application's general thread pool (no name, one thread, kind 4) and its manual
// dispatcher for the UI thread (no name, at most 512 pending jobs).
//
// Contract:
// - CreateAppServices is called once by the start-up on the main thread, DestroyAppServices
//   last by the shutdown (it releases the dispatcher, then stops the pool, which ends its
//   thread after the jobs already queued, and joins it). Either may be called from any thread
//   that is not the pool's own; a second Create replaces the services, stopping the old pool.
// - GetAppThreadPool and GetAppDispatcher may be called from any thread; between creation and
//   destruction they return the services, otherwise null. A small lock guards the two
//   pointers, never held while a pool ends. A caller keeps what it got alive through the
//   shared pointer: posting to a pool that was stopped meanwhile drops the job (a waiter gets
//   Vel::AbortException), never touches a destroyed pool. The pool is stopped before the
//   services let go of it, so the last owner is never one of its own threads.
// - PumpAppDispatcher runs the dispatcher once on the calling (UI) thread: its queued jobs,
//   then its due timed jobs; true when anything ran, false without a dispatcher.

#include <memory>

#include "foundation/threads/ManualDispatcher.h"
#include "foundation/threads/ThreadPool.h"

namespace Vel {

inline constexpr int kAppDispatcherMaxPending = 512;

void CreateAppServices();
void DestroyAppServices();
std::shared_ptr<VelThreadPool> GetAppThreadPool();
std::shared_ptr<ManualDispatcher> GetAppDispatcher();
bool PumpAppDispatcher();

}  // namespace Vel
