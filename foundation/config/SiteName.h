#pragma once
// The server site this installation talks to, from "site.txt" in the installation root.
//
// Contract: InitSiteName runs once on the main thread during the runtime start, before other
// threads exist; GetSiteName may then be called from any thread. Calling GetSiteName before
// InitSiteName is a fatal error. An empty name is production; "pro01" is production too.

#include <string>
#include <string_view>

namespace Vel {

// Letters, digits and "-" only; the empty text passes.
bool IsValidSiteName(std::string_view name);

// True for the production site's names: empty or exactly "pro01".
bool IsProductionSiteName(std::string_view name);

void InitSiteName();

// The folder on production; else without one trailing "/" or "\", + " " + site + "/".
std::string SiteFolder(const std::string& folder);

std::string GetSiteName();
bool IsProductionSite();

// For tests: sets the site name as InitSiteName would have.
void SetSiteNameForTesting(const std::string& name);

}  // namespace Vel
