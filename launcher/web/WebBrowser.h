#pragma once
// The embedded web browser: a Qt WebEngine view behind IWebView, for the news page and the
// terms of use.
//
// Contract:
// - Navigate loads an address; GetLocationURL reads the address of the page shown. Nothing
//   is caught or retried here: a page that fails to load shows the engine's own error page.
// - A link the player follows that leaves the site of the page shown (scheme, host or port
//   differ), and any link that asks for a new window, opens in the desktop's browser
//   (QDesktopServices) and never inside the view; the view stays on its page.
// - GUI thread only. Starting the first view starts the browser engine, so this library is
//   linked only into the program and the browser's own tests.

#include "launcher/web/WebView.h"

#include <QWebEngineView>

namespace Vel {

class CWebBrowser final : public QWebEngineView, public IWebView {
    Q_OBJECT
public:
    explicit CWebBrowser(QWidget* parent = nullptr);

    QWidget* Widget() override { return this; }
    void Navigate(const std::string& url) override;
    std::string GetLocationURL() const override;
};

// True when both addresses belong to the same site: same scheme, host and port.
bool IsSameSite(const QUrl& a, const QUrl& b);

// Makes CreateWebView build CWebBrowser views.
void UseWebEngineBrowser();

}  // namespace Vel
