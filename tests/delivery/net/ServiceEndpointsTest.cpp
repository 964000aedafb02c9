#include <gtest/gtest.h>

#include "delivery/net/ServiceEndpoints.h"
#include "foundation/core/AppEnvironment.h"
#include "foundation/config/SiteName.h"
#include "foundation/runtime/VelURI.h"

using namespace Vel;

namespace {
struct SiteGuard {
    explicit SiteGuard(const std::string& site) { SetSiteNameForTesting(site); }
    ~SiteGuard() { SetSiteNameForTesting(""); }
};
}  // namespace

TEST(ServiceEndpoints, ProductionSites) {
    for (const char* site : {"", "pro01"}) {
        SiteGuard guard(site);
        EXPECT_EQ(GetLoginHost(), kProductionLoginHost) << site;
        EXPECT_EQ(GetUpdateBaseUrl(), std::string("http://") + kProductionUpdateHost);
        EXPECT_EQ(GetDownloadBaseUrl(), std::string("http://") + kProductionDownloadHost);
        EXPECT_EQ(GetTermsBaseUrl(), std::string("http://") + kProductionTermsHost + "/");
        EXPECT_EQ(AlternateServerArgument('&'), "");
        EXPECT_EQ(SiteFolder("/data/"), "/data/");
    }
}

// Nothing configured must reach a host outside this project: every built-in server name lies
// in the reserved ".invalid" domain. The connection probe is the one exception by design.
TEST(ServiceEndpoints, BuiltInHostsAreReservedNames) {
    const auto reserved = [](const std::string& host) {
        const std::string tail = ".invalid";
        return host.size() > tail.size() && host.compare(host.size() - tail.size(), tail.size(), tail) == 0;
    };
    for (const char* host : {kProductionDownloadHost, kProductionUpdateHost, kProductionLoginHost,
                             kProductionTermsHost, kProductionNewsHost, kTestSiteDomain})
        EXPECT_TRUE(reserved(host)) << host;
    EXPECT_TRUE(reserved(VelURI(kDefaultCrashReportUrl).GetHost())) << kDefaultCrashReportUrl;

    SiteGuard guard("");
    std::string configured;
    ASSERT_FALSE(GetParameterStore().Get("web.news.host", ParameterType::String, configured));
    EXPECT_EQ(GetLauncherWebHost(), kProductionNewsHost);
}

TEST(ServiceEndpoints, TestSiteAndLocalhost) {
    {
        SiteGuard guard("tst01");
        EXPECT_EQ(GetLoginHost(), std::string("login.tst01.") + kTestSiteDomain);
        EXPECT_EQ(GetUpdateBaseUrl(), std::string("http://update.tst01.") + kTestSiteDomain);
        EXPECT_EQ(AlternateServerArgument('&'), "&alternatesrv=tst01");
        EXPECT_EQ(SiteFolder("C:/data/"), "C:/data tst01/");
        EXPECT_EQ(SiteFolder("C:\\data\\"), "C:\\data tst01/");
        EXPECT_EQ(SiteFolder("/data"), "/data tst01/");
    }
    {
        SiteGuard guard("localhost");
        EXPECT_EQ(GetLoginHost(), "localhost");
        EXPECT_EQ(GetDownloadBaseUrl(), "http://localhost");
        EXPECT_EQ(GetUpdateBaseUrl(), "http://localhost");
        EXPECT_EQ(GetTermsBaseUrl(), "http://localhost/");
    }
    // "PRO01" is not production: the comparison is case-sensitive.
    EXPECT_EQ(ServiceHostForSite("PRO01", "login", "prod"), std::string("login.PRO01.") + kTestSiteDomain);
}

TEST(ServiceEndpoints, ConfiguredBaseUrlsWinOnEverySite) {
    SiteGuard guard("localhost");
    GetParameterStore().Set("web.update.url", ParameterType::String, "http://127.0.0.1:8080");
    GetParameterStore().Set("web.download.url", ParameterType::String, "");
    GetParameterStore().Set("web.terms.url", ParameterType::String, "http://127.0.0.1:8081/");
    EXPECT_EQ(GetUpdateBaseUrl(), "http://127.0.0.1:8080");
    EXPECT_EQ(GetDownloadBaseUrl(), "");
    EXPECT_EQ(GetTermsBaseUrl(), "http://127.0.0.1:8081/");
}
