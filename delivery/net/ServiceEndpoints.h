#pragma once
// The hosts and base addresses of the game's services for the site this installation talks to
// (the site name comes from "site.txt", foundation/config/SiteName.h).
//
// Contract:
// - Production is the empty site name or exactly "pro01": the production hosts are used, no
//   "alternatesrv=" argument is made and folders get no suffix.
// - The site "localhost" makes every service host "localhost" (the stand-in servers on this
//   machine); any other site makes prefix + "." + site + "." + the test domain.
// - Parameters (command-line "key=value" assignments, foundation/core/ParameterStore.h) that always
//   win over the derived base URLs:
//     "web.download.url"  base URL of the content (download) servers
//     "web.update.url"    base URL of the update server
//     "web.terms.url"     base URL of the terms-of-use web site, ending in "/"
//     "web.probe.url"     the public page fetched to tell "no internet" from "server down"
//     "web.news.host"     the launcher's web host: the news page and the update's page
//     "crash.report_url"  where crash reports are posted
// - Any thread, once the site name is initialised (reading it earlier is a fatal error).
//   No locks of their own.

#include <string>

#include "foundation/config/SiteName.h"

namespace Vel {

// Deployment values; a build may replace them (see ServiceEndpoints.cpp).
extern const char* const kProductionDownloadHost;
extern const char* const kProductionUpdateHost;
extern const char* const kProductionLoginHost;
extern const char* const kProductionTermsHost;
extern const char* const kDefaultProbeUrl;
extern const char* const kTestSiteDomain;
extern const char* const kProductionNewsHost;
extern const char* const kDefaultCrashReportUrl;

std::string ServiceHost(const std::string& prefix, const std::string& productionHost);
// The same rule for a given site name (the one above uses the process's site).
std::string ServiceHostForSite(const std::string& site, const std::string& prefix, const std::string& productionHost);

std::string GetDownloadBaseUrl();
std::string GetUpdateBaseUrl();
std::string GetLoginHost();
// Plain HTTP, ending in "/": "http://" + the terms host + "/" unless "web.terms.url" is set.
std::string GetTermsBaseUrl();
// "web.probe.url", else kDefaultProbeUrl.
std::string GetProbeUrl();

// "web.news.host", else kProductionNewsHost (the same on every site).
std::string GetLauncherWebHost();
// "crash.report_url", else kDefaultCrashReportUrl.
std::string GetCrashReportUrl();

// "" on production; else separator + "alternatesrv=" + site name.
std::string AlternateServerArgument(char separator);
// SiteFolder, the same rule for folders, is in foundation/config/SiteName.h.

}  // namespace Vel
