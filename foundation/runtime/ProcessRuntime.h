#pragma once
// The once-per-process start and stop of the runtime, the single-instance objects, and the
// 64-bit system test.
//
// Contract:
// - RuntimeInit runs once, on the main thread, before any other thread exists; a second call,
//   or RuntimeShutdown before it, is a fatal error.
// - The command line is the copy of argv taken in main before the user interface library saw
//   it (it strips its own switches). A malformed command line is ignored as a whole: every
//   bound option keeps its default and nothing is imported.
// - AcquireInstanceMutex and AcquireSingleInstance release the object on every false result.
// - IsWow64 answers "is this a 64-bit system"; computed once, thread-safe.

#include <boost/program_options/options_description.hpp>
#include <memory>
#include <string>
#include <vector>

#include "platform/InstanceObject.h"

namespace Vel {

inline constexpr unsigned kRuntimeRootFromCurrentDir = 2;

// `arguments` excludes the program's own path.
void RuntimeInit(unsigned flags, boost::program_options::options_description& optionTable,
                 const std::vector<std::string>& arguments);
void RuntimeShutdown();
bool IsRuntimeStarted();

std::string InstanceObjectName(bool withSite, const std::string& name);

// Takes the named single-instance object. With wait, an existing object is waited for up to the
// time-out (negative: no limit). With keepHandle the object stays held through `handle`;
// otherwise it is let go at once. outcome, when given, receives what the creation found: only
// Existed means that someone else holds the object.
bool AcquireInstanceMutex(bool wait, const std::string& name, int timeoutMs, bool keepHandle,
                          std::unique_ptr<Platform::InstanceObject>& handle, bool withSite,
                          Platform::InstanceObject::Result* outcome = nullptr);
// The same; a kept object is held by the process until it ends.
bool AcquireSingleInstance(bool wait, const std::string& name, int timeoutMs, bool keepHandle, bool withSite,
                           Platform::InstanceObject::Result* outcome = nullptr);

bool IsWow64();

// The fatal-error report with an empty text (foundation/core/FatalError.h); RuntimeInit makes it the
// terminate handler and the handler of SIGABRT. Async-signal-safe.
void FatalRuntimeHandler();

// Tests only: forget that the runtime was started, and release the process's own instance
// object, so one test process can run several start-ups.
void ResetRuntimeForTesting();

}  // namespace Vel
