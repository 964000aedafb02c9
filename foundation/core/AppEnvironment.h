#pragma once
// Process-wide facts about the running program: its executable names, the installation root,
// the output and resource folders, the installed client version and this program's own
// version, and the process-wide parameter store.
//
// Contract: everything is filled once during the runtime start on the main thread, before other
// threads exist, and read afterwards from any thread. The client version text is the one value
// refreshed later (UI thread, version check); it is published as an immutable text swapped
// atomically, so readers on other threads (user agent, crash log) never see it torn.

#include <string>
#include <vector>

#include "foundation/core/ParameterStore.h"
#include "foundation/core/VersionNumber.h"

namespace Vel {

// Installation root from the current directory (the application always passes this).
inline constexpr unsigned kInstallRootFromCurrentDir = 2;

bool InitAppEnvironment();
void InstallRoot(unsigned flags);

void SetResourceRoot(const std::string& path);
std::string GetResourceRoot();

ParameterStore& GetParameterStore();

std::string GetExeBaseName();
std::string GetExeNameSuffix();
std::string GetExeStem();
std::string GetOutputFolder();

void SplitExeName(const std::string& stem, std::string& base, std::string& suffix);

// Reads the first line of "version.txt" in the installation root.
bool ReadClientVersion(VersionNumber& out);
void LoadClientVersionString();
std::string GetVersionString();
std::string ReloadVersionString();
std::string GetTrailstarterVersion();

// Tests only: the start derives the names from this path instead of our own executable's.
void SetExecutablePathForTesting(const std::string& path);

}  // namespace Vel
