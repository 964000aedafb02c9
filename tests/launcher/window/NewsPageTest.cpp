// The news page's address and the reduced window layout.

#include <QApplication>
#include <QDialog>
#include <QPushButton>

#include <gtest/gtest.h>

#include "foundation/core/AppEnvironment.h"
#include "foundation/core/ParameterStore.h"
#include "foundation/config/RegistrySettings.h"
#include "foundation/config/SettingKey.h"
#include "foundation/config/SiteName.h"
#include "launcher/window/NewsPage.h"
#include "tests/support/FakeWebView.h"
#include "tests/support/IsolatedSettings.h"
#include "tests/support/QtApp.h"

namespace Vel {
namespace {

using Vel::Test::App;

void WriteInt(const IntSettingKey& key, int value) { WriteSettingInt(key.section, key.name, value, key.scope); }

TEST(NewsPageTest, TheNewsAddressForSiteTest2InFrench) {
    App();
    SetSiteNameForTesting("test2");
    WriteInt(Settings::Language, 2);  // French
    WriteInt(Settings::LastVisitedTerritoryID, 17);
    GetParameterStore().Set("web.news.host", ParameterType::String, "news.example");
    Vel::Test::FakeWebViews views;
    QWidget area;
    NewsPage page;
    page.Attach(&area);
    page.Navigate();
    ASSERT_NE(views.last, nullptr);
    ASSERT_EQ(views.last->navigations.size(), 1u);
    const std::string url = views.last->navigations[0];
    EXPECT_TRUE(url.starts_with("http://news.example/(fr)/trailstarter/?memory=")) << url;
    EXPECT_NE(url.find("&dx=0.0&os="), std::string::npos) << url;  // no DirectX: no graphics part
    EXPECT_NE(url.find("&lang=FR&territoryid=17&planetid=0&partnerview=0"), std::string::npos) << url;
    EXPECT_TRUE(url.ends_with("&alternatesrv=test2")) << url;
    page.Refresh();
    EXPECT_EQ(views.last->navigations.back(), url);
    SetSiteNameForTesting("");
    WriteInt(Settings::Language, 0);
}

TEST(NewsPageTest, QueryValuesArePercentEncodedAndTheGraphicsPartNeedsDirectX9) {
    NewsQuery q;
    q.base = "http://h/(en)/trailstarter/";
    q.memoryMB = 4096;
    q.osName = "Debian GNU/Linux 12 (bookworm)";
    q.clientVersion = "1.2.3.4";
    q.language = "EN";
    EXPECT_EQ(BuildNewsAddress(q),
              "http://h/(en)/trailstarter/?memory=4096&dx=0.0&os=Debian%20GNU%2FLinux%2012%20(bookworm)"
              "&version=1.2.3.4&lang=EN&territoryid=0&planetid=0&partnerview=0");
    q.directX = VersionNumber(9, 0, 0, 0);
    q.graphics = GraphicsAdapterInfo{"A&B GPU", 1234, 0x10DE, 0x2204, "3.0"};
    q.alternateServerArgument = "&alternatesrv=test2";
    EXPECT_EQ(BuildNewsAddress(q),
              "http://h/(en)/trailstarter/?memory=4096&dx=9.0&Description=A%26B%20GPU&Build=1234&VendorId=10de"
              "&DeviceId=2204&SM=3.0&os=Debian%20GNU%2FLinux%2012%20(bookworm)&version=1.2.3.4&lang=EN"
              "&territoryid=0&planetid=0&partnerview=0&alternatesrv=test2");
}

TEST(NewsPageTest, SmallScreensGetTheReducedLayout) {
    App();
    const struct {
        QSize screen;
        bool reduced;
    } cases[] = {{{1280, 700}, true}, {{1024, 768}, false}, {{1023, 768}, true}, {{1024, 720}, false}, {{640, 480}, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.screen.width() * 10000 + c.screen.height());
        EXPECT_EQ(UsesReducedLayout(c.screen), c.reduced);
        QDialog window;
        window.setFixedSize(725, 650);
        auto* browser = new QWidget(&window);
        browser->setObjectName("IDC_BROWSER");
        browser->setGeometry(0, 0, 723, 585);
        auto* launch = new QPushButton(&window);
        launch->setObjectName("IDOK");
        launch->setGeometry(642, 593, 75, 45);
        NewsPage page([&] { return c.screen; });
        page.FitToSmallScreen(&window);
        if (c.reduced) {
            EXPECT_EQ(window.size(), QSize(495, 422));
            EXPECT_EQ(browser->geometry(), QRect(0, 0, 493, 357));
            EXPECT_EQ(launch->pos(), QPoint(412, 365));
        } else {
            EXPECT_EQ(window.size(), QSize(725, 650));
            EXPECT_EQ(browser->geometry(), QRect(0, 0, 723, 585));
        }
        EXPECT_EQ(window.x(), (c.screen.width() - window.width()) / 2);
        EXPECT_EQ(window.y(), c.screen.height() == 480 ? 0 : (c.screen.height() - window.height()) / 2);
    }
}

}  // namespace
}  // namespace Vel
