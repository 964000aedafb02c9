#include "delivery/net/ServiceEndpoints.h"

#include "foundation/core/AppEnvironment.h"
#include "foundation/config/SiteName.h"

#ifndef TRAILSTARTER_PRODUCTION_DOWNLOAD_HOST
#define TRAILSTARTER_PRODUCTION_DOWNLOAD_HOST "download.solvendafrontier.invalid"
#endif
#ifndef TRAILSTARTER_PRODUCTION_UPDATE_HOST
#define TRAILSTARTER_PRODUCTION_UPDATE_HOST "update.solvendafrontier.invalid"
#endif
#ifndef TRAILSTARTER_PRODUCTION_LOGIN_HOST
#define TRAILSTARTER_PRODUCTION_LOGIN_HOST "login.solvendafrontier.invalid"
#endif
#ifndef TRAILSTARTER_PRODUCTION_TERMS_HOST
#define TRAILSTARTER_PRODUCTION_TERMS_HOST "terms.solvendafrontier.invalid"
#endif
#ifndef TRAILSTARTER_PRODUCTION_NEWS_HOST
#define TRAILSTARTER_PRODUCTION_NEWS_HOST "www.solvendafrontier.invalid"
#endif
#ifndef TRAILSTARTER_CRASH_REPORT_URL
#define TRAILSTARTER_CRASH_REPORT_URL "http://crashreport.solvendafrontier.invalid/crashreport.xml"
#endif
#ifndef TRAILSTARTER_PROBE_URL
#define TRAILSTARTER_PROBE_URL "http://www.example.com/"
#endif
#ifndef TRAILSTARTER_TEST_SITE_DOMAIN
#define TRAILSTARTER_TEST_SITE_DOMAIN "test.solvendafrontier.invalid"
#endif

namespace Vel {

const char* const kProductionDownloadHost = TRAILSTARTER_PRODUCTION_DOWNLOAD_HOST;
const char* const kProductionUpdateHost = TRAILSTARTER_PRODUCTION_UPDATE_HOST;
const char* const kProductionLoginHost = TRAILSTARTER_PRODUCTION_LOGIN_HOST;
const char* const kProductionTermsHost = TRAILSTARTER_PRODUCTION_TERMS_HOST;
const char* const kDefaultProbeUrl = TRAILSTARTER_PROBE_URL;
const char* const kProductionNewsHost = TRAILSTARTER_PRODUCTION_NEWS_HOST;
const char* const kDefaultCrashReportUrl = TRAILSTARTER_CRASH_REPORT_URL;
const char* const kTestSiteDomain = TRAILSTARTER_TEST_SITE_DOMAIN;

std::string ServiceHostForSite(const std::string& site, const std::string& prefix, const std::string& productionHost) {
    if (IsProductionSiteName(site)) return productionHost;
    if (site == "localhost") return "localhost";
    return prefix + "." + site + "." + kTestSiteDomain;
}

std::string ServiceHost(const std::string& prefix, const std::string& productionHost) {
    return ServiceHostForSite(GetSiteName(), prefix, productionHost);
}

std::string GetDownloadBaseUrl() {
    return GetConfigString("web.download.url", "http://" + ServiceHost("download", kProductionDownloadHost));
}

std::string GetUpdateBaseUrl() {
    return GetConfigString("web.update.url", "http://" + ServiceHost("update", kProductionUpdateHost));
}

std::string GetLoginHost() { return ServiceHost("login", kProductionLoginHost); }

std::string GetTermsBaseUrl() {
    return GetConfigString("web.terms.url", "http://" + ServiceHost("terms", kProductionTermsHost) + "/");
}

std::string GetProbeUrl() { return GetConfigString("web.probe.url", kDefaultProbeUrl); }

std::string AlternateServerArgument(char separator) {
    const std::string site = GetSiteName();
    if (IsProductionSiteName(site)) return {};
    return std::string(1, separator) + "alternatesrv=" + site;
}

std::string GetLauncherWebHost() { return GetConfigString("web.news.host", kProductionNewsHost); }

std::string GetCrashReportUrl() { return GetConfigString("crash.report_url", kDefaultCrashReportUrl); }

}  // namespace Vel
