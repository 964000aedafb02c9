#include "launcher/window/NewsPage.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

#include "delivery/net/ServiceEndpoints.h"
#include "delivery/workers/WorkerRunner.h"
#include "foundation/core/AppEnvironment.h"
#include "foundation/text/LanguageTable.h"
#include "foundation/config/RegistrySettings.h"
#include "foundation/config/SettingKey.h"
#include "foundation/core/StringUtils.h"
#include "foundation/runtime/VelURI.h"
#include "launcher/web/WebView.h"

namespace Vel {
namespace {

constexpr int kShrinkWidth = 230;
constexpr int kShrinkHeight = 228;

int ReadInt(const IntSettingKey& key) { return ReadSettingInt(key.section, key.name, key.defaultValue, key.scope); }

std::string LowerHex(std::uint32_t v) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    do {
        out.insert(out.begin(), kDigits[v & 15]);
        v >>= 4;
    } while (v != 0);
    return out;
}

void Shift(QWidget* w, int dx, int dy, int dw = 0) {
    if (w == nullptr) return;
    w->setGeometry(w->x() + dx, w->y() + dy, w->width() + dw, w->height());
}

}  // namespace

std::string NewsBaseAddress(const std::string& host, const std::string& twoLetterCode) {
    return "http://" + host + "/(" + ToLower(twoLetterCode) + ")/trailstarter/";
}

std::string BuildNewsAddress(const NewsQuery& q) {
    std::string url = q.base + "?memory=" + std::to_string(q.memoryMB) + "&dx=" + std::to_string(q.directX.Major()) +
                      "." + std::to_string(q.directX.Minor());
    if (q.graphics) {
        url += "&Description=" + UrlEncode(q.graphics->description) +
               "&Build=" + std::to_string(q.graphics->driverVersionLow) + "&VendorId=" + LowerHex(q.graphics->vendorId) +
               "&DeviceId=" + LowerHex(q.graphics->deviceId) + "&SM=" + UrlEncode(q.graphics->pixelShaderVersion);
    }
    url += "&os=" + UrlEncode(q.osName) + "&version=" + UrlEncode(q.clientVersion) + "&lang=" + UrlEncode(q.language) +
           "&territoryid=" + std::to_string(q.territoryId) + "&planetid=" + std::to_string(q.planetId) +
           "&partnerview=" + std::to_string(q.partnerViewId) + q.alternateServerArgument;
    return url;
}

NewsQuery CurrentNewsQuery() {
    CollectSystemInfo();
    NewsQuery q;
    const std::string code = GetEffectiveLanguage().twoLetterCode;
    std::string base;
    if (auto worker = GetCurrentWorker()) {
        const VelURI info = worker->GetInfoUrl();
        if (!info.GetHost().empty()) base = info.ToString();
    }
    q.base = base.empty() ? NewsBaseAddress(GetLauncherWebHost(), code) : base;
    q.memoryMB = GetPhysicalMemoryMB();
    q.directX = GetDirectXVersion();
    if (!(q.directX < VersionNumber(9, 0, 0, 0))) q.graphics = GetGraphicsAdapterInfo();
    q.osName = GetOsName();
    VersionNumber client;
    q.clientVersion = ReadClientVersion(client) ? client.ToString() : "0.0.0.0";
    q.language = code;
    q.territoryId = ReadInt(Settings::LastVisitedTerritoryID);
    q.planetId = ReadInt(Settings::LastVisitedPlanetID);
    q.partnerViewId = ReadInt(Settings::LastPartnerViewID);
    q.alternateServerArgument = AlternateServerArgument('&');
    return q;
}

bool UsesReducedLayout(QSize screen) noexcept { return screen.width() < 1024 || screen.height() < 720; }

NewsPage::NewsPage(ScreenSize screenSize) : screenSize_(std::move(screenSize)) {
    if (!screenSize_) {
        screenSize_ = [] {
            const QScreen* screen = QGuiApplication::primaryScreen();
            return screen ? screen->size() : QSize(1024, 768);
        };
    }
}

void NewsPage::Attach(QWidget* browserArea) {
    if (view_ == nullptr) view_ = CreateWebView(browserArea);
}

void NewsPage::Navigate() {
    if (view_ != nullptr) view_->Navigate(BuildNewsAddress(CurrentNewsQuery()));
}

void NewsPage::Refresh() {
    if (view_ == nullptr) return;
    const std::string current = view_->GetLocationURL();
    if (!current.empty()) view_->Navigate(current);
}

void NewsPage::FitToSmallScreen(QWidget* window) {
    if (window == nullptr) return;
    const QSize screen = screenSize_();
    if (UsesReducedLayout(screen)) {
        auto child = [window](const char* name) { return window->findChild<QWidget*>(name); };
        Shift(child("IDC_BROWSER"), 0, 0, -kShrinkWidth);
        if (QWidget* browser = child("IDC_BROWSER")) browser->resize(browser->width(), browser->height() - kShrinkHeight);
        Shift(child("IDOK"), -kShrinkWidth, -kShrinkHeight);
        // Where the rest of the lower row goes in the smaller window is ours to choose: up with
        // it, the right-hand parts left, the wide ones narrower.
        Shift(child("IDC_TOOLS"), -kShrinkWidth, -kShrinkHeight);
        Shift(child("IDC_STATUS"), 0, -kShrinkHeight, -kShrinkWidth);
        Shift(child("IDC_PROGRESS"), 0, -kShrinkHeight, -kShrinkWidth);
        Shift(child("IDC_TIME_REMAINING"), 0, -kShrinkHeight);
        Shift(child("IDC_RATE"), -kShrinkWidth, -kShrinkHeight);
        Shift(child("IDC_SIZES"), -kShrinkWidth, -kShrinkHeight);
        window->setFixedSize(window->width() - kShrinkWidth, window->height() - kShrinkHeight);
    }
    const int x = (screen.width() - window->width()) / 2;
    const int y = screen.height() == 480 ? 0 : (screen.height() - window->height()) / 2;
    window->move(x, y);
}

}  // namespace Vel
