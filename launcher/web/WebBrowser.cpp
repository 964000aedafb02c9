#include "launcher/web/WebBrowser.h"

#include <QDesktopServices>
#include <QWebEnginePage>

namespace Vel {
namespace {

int PortOf(const QUrl& url) {
    const QString scheme = url.scheme().toLower();
    return url.port(scheme == QLatin1String("https") ? 443 : scheme == QLatin1String("http") ? 80 : -1);
}

// A page asked for by a link that wants a new window: its first address goes to the desktop's
// browser and the page goes away.
class ExternalWindowPage final : public QWebEnginePage {
public:
    explicit ExternalWindowPage(QObject* parent) : QWebEnginePage(parent) {}

protected:
    bool acceptNavigationRequest(const QUrl& url, NavigationType, bool isMainFrame) override {
        if (isMainFrame && !handed_) {
            handed_ = true;
            QDesktopServices::openUrl(url);
            deleteLater();
        }
        return false;
    }

private:
    bool handed_ = false;
};

class SiteBoundPage final : public QWebEnginePage {
public:
    explicit SiteBoundPage(QObject* parent) : QWebEnginePage(parent) {}

protected:
    bool acceptNavigationRequest(const QUrl& url, NavigationType type, bool isMainFrame) override {
        if (isMainFrame && type == NavigationTypeLinkClicked && !IsSameSite(url, this->url())) {
            QDesktopServices::openUrl(url);
            return false;
        }
        return QWebEnginePage::acceptNavigationRequest(url, type, isMainFrame);
    }

    QWebEnginePage* createWindow(WebWindowType) override { return new ExternalWindowPage(this); }
};

}  // namespace

bool IsSameSite(const QUrl& a, const QUrl& b) {
    return a.scheme().compare(b.scheme(), Qt::CaseInsensitive) == 0 &&
           a.host().compare(b.host(), Qt::CaseInsensitive) == 0 && PortOf(a) == PortOf(b);
}

CWebBrowser::CWebBrowser(QWidget* parent) : QWebEngineView(parent) { setPage(new SiteBoundPage(this)); }

void CWebBrowser::Navigate(const std::string& url) { load(QUrl(QString::fromStdString(url))); }

std::string CWebBrowser::GetLocationURL() const { return url().toString().toStdString(); }

void UseWebEngineBrowser() {
    SetWebViewFactory([](QWidget* parent) -> IWebView* { return new CWebBrowser(parent); });
}

}  // namespace Vel
