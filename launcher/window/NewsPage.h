#pragma once
// The news page in the main window's browser area, and the window's reduced layout on small
// screens.
//
// Contract:
// - GUI thread only. Attach makes the view in the browser area (through CreateWebView; with no
//   view every call does nothing). Navigate loads the current worker's information page when it
//   has one, else the news page "http://" + "web.news.host" + "/(xx)/trailstarter/" for the
//   effective language, with the query of BuildNewsAddress. Refresh loads the current address
//   again.
// - Every query value is percent-encoded (UrlEncode); the base address is used as it is.
// - FitToSmallScreen: a screen narrower than 1024 or lower than 720 shrinks the window by 230 x
//   228, the browser likewise, moves Launch and Tools 230 left and 228 up and the status row
//   228 up (its right part 230 left, the progress bar and status text 230 narrower); the window
//   is centred on the screen (at the top when the screen is exactly 480 high).

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include <QSize>

#include "foundation/runtime/SystemInfo.h"
#include "foundation/core/VersionNumber.h"
#include "launcher/window/MainWindowServices.h"

namespace Vel {

class IWebView;

struct NewsQuery {
    std::string base;  // the page address, without a query
    std::uint32_t memoryMB = 0;
    VersionNumber directX;
    std::optional<GraphicsAdapterInfo> graphics;  // only from DirectX 9 on
    std::string osName;
    std::string clientVersion;
    std::string language;  // the two-letter code in capitals
    int territoryId = 0;
    int planetId = 0;
    int partnerViewId = 0;
    std::string alternateServerArgument;  // "" or "&alternatesrv=" + site
};

std::string NewsBaseAddress(const std::string& host, const std::string& twoLetterCode);
std::string BuildNewsAddress(const NewsQuery& query);
// The query for this process: system information, settings, site, effective language.
NewsQuery CurrentNewsQuery();

bool UsesReducedLayout(QSize screen) noexcept;

class NewsPage final : public INewsPage {
public:
    using ScreenSize = std::function<QSize()>;
    // screenSize: the primary screen's size by default.
    explicit NewsPage(ScreenSize screenSize = {});

    void Attach(QWidget* browserArea) override;
    void Navigate() override;
    void Refresh() override;
    void FitToSmallScreen(QWidget* window) override;

private:
    ScreenSize screenSize_;
    IWebView* view_ = nullptr;
};

}  // namespace Vel
