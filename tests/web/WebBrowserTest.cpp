// Starts the browser engine: built and run only without the sanitizers.
#include "launcher/web/WebBrowser.h"

#include "tests/support/PumpUntil.h"
#include "tests/support/QtApp.h"
#include "tests/support/TempDir.h"
#include "tools/standin-server/StandinServer.h"

#include <QApplication>
#include <QDesktopServices>
#include <QMouseEvent>
#include <QUrl>
#include <QWebEnginePage>

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

namespace Vel {
namespace {

using Vel::Test::App;

// Receives what would go to the desktop's browser.
class DesktopBrowser final : public QObject {
    Q_OBJECT
public:
    DesktopBrowser() { QDesktopServices::setUrlHandler("http", this, "Open"); }
    ~DesktopBrowser() override { QDesktopServices::unsetUrlHandler("http"); }
    Q_INVOKABLE void Open(const QUrl& url) { opened.push_back(url.toString().toStdString()); }
    std::vector<std::string> opened;
};

constexpr auto kPageLimit = std::chrono::seconds(60);  // the engine's first start is slow

bool LoadAndWait(CWebBrowser& view, const std::string& url) {
    bool finished = false;
    bool ok = false;
    auto connection = QObject::connect(view.page(), &QWebEnginePage::loadFinished, [&](bool success) {
        finished = true;
        ok = success;
    });
    view.Navigate(url);
    const bool done = Vel::Test::PumpUntil([&] { return finished; }, kPageLimit);
    QObject::disconnect(connection);
    return done && ok;
}

std::string Title(CWebBrowser& view) { return view.title().toStdString(); }

// The stand-in's own site, served for one test, and a shown browser to look at it.
struct StandinSite {
    StandinSite() : site(Config()) {
        site.Start();
        view.resize(640, 480);
        view.show();
    }
    static Standin::ServerConfig Config() {
        Standin::ServerConfig config;
        config.root = TRAILSTARTER_SOURCE_DIR "/tools/standin-server/site";
        return config;
    }
    Standin::HttpServer site;
    CWebBrowser view;
};

TEST(WebBrowser, LoadsATermsPageFromALoopbackServerAndKeepsForeignLinksOut) {
    App();
    Standin::ServerConfig config;
    config.root = TRAILSTARTER_SOURCE_DIR "/tools/standin-server/site";
    Standin::HttpServer terms(config);
    terms.Start();
    Vel::Test::TempDir other("other");
    other.Write("index.html", "<html><head><title>Elsewhere</title></head><body></body></html>");
    config.root = other.Path().string();
    Standin::HttpServer elsewhere(config);
    elsewhere.Start();

    CWebBrowser view;
    view.resize(640, 480);
    view.show();
    EXPECT_EQ(view.GetLocationURL(), "");

    const std::string address = terms.BaseUrl() + "(fr)/trailstarter/terms-of-use/index.xml";
    ASSERT_TRUE(LoadAndWait(view, address));
    EXPECT_EQ(view.GetLocationURL(), address);
    EXPECT_EQ(Title(view), "Conditions d'utilisation du compte Solvenda Frontier");  // shown, not downloaded

    // A link to another site (another port) goes to the desktop's browser; the view stays.
    DesktopBrowser desktop;
    const std::string foreign = elsewhere.BaseUrl() + "index.html";
    view.page()->runJavaScript(QString::fromStdString(
        "var a = document.createElementNS('http://www.w3.org/1999/xhtml', 'a'); a.href = '" + foreign +
        "'; document.body.appendChild(a); a.click();"));
    EXPECT_TRUE(Vel::Test::PumpUntil([&] { return !desktop.opened.empty(); }, kPageLimit));
    EXPECT_EQ(desktop.opened, std::vector<std::string>{foreign});
    EXPECT_EQ(view.GetLocationURL(), address);
}

// The stand-in's patching page, shown during every update check, speaks the launcher's language.
TEST(WebBrowser, ThePatchingPageTakesItsTextFromTheLanguageOfTheQuery) {
    App();
    StandinSite standin;
    auto& site = standin.site;
    auto& view = standin.view;
    const struct {
        const char* query;
        const char* title;
    } cases[] = {
        {"?memory=4096&lang=EN&territoryid=0", "Solvenda Frontier is being updated"},
        {"?memory=4096&lang=FR&territoryid=0", "Solvenda Frontier est en cours de mise à jour"},
        {"?lang=DE", "Solvenda Frontier wird aktualisiert"},
        {"?memory=4096&lang=ES", "Solvenda Frontier se está actualizando"},
        {"?memory=4096&lang=IT", "Solvenda Frontier is being updated"},
        {"?memory=4096&slang=FR", "Solvenda Frontier is being updated"},
        {"", "Solvenda Frontier is being updated"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.query);
        ASSERT_TRUE(LoadAndWait(view, site.BaseUrl() + "trailstarter/sf/patching.html" + c.query));
        EXPECT_EQ(Title(view), c.title);
    }
}

// The main window gives the page its own menu by the widget's custom context-menu policy: the
// engine then asks for it instead of showing its menu.
TEST(WebBrowser, ARightClickFollowsTheCustomMenuPolicy) {
    App();
    StandinSite standin;
    auto& site = standin.site;
    auto& view = standin.view;
    ASSERT_TRUE(LoadAndWait(view, site.BaseUrl() + "(en)/trailstarter/"));
    view.setContextMenuPolicy(Qt::CustomContextMenu);
    int asked = 0;
    QObject::connect(&view, &QWidget::customContextMenuRequested, [&](const QPoint&) { ++asked; });
    QWidget* input = view.focusProxy() != nullptr ? view.focusProxy() : &view;
    const QPointF at(100, 100);
    QMouseEvent press(QEvent::MouseButtonPress, at, input->mapToGlobal(at), Qt::RightButton, Qt::RightButton,
                      Qt::NoModifier);
    QMouseEvent release(QEvent::MouseButtonRelease, at, input->mapToGlobal(at), Qt::RightButton, Qt::NoButton,
                        Qt::NoModifier);
    // The engine drops input until its renderer has drawn the page once: click again until it
    // answers, within the page limit.
    const auto until = std::chrono::steady_clock::now() + kPageLimit;
    while (asked == 0 && std::chrono::steady_clock::now() < until) {
        QCoreApplication::sendEvent(input, &press);
        QCoreApplication::sendEvent(input, &release);
        Vel::Test::PumpUntil([&] { return asked > 0; }, std::chrono::milliseconds(500));
    }
    EXPECT_GT(asked, 0) << "the engine never asked for the menu";
    EXPECT_EQ(QApplication::activePopupWidget(), nullptr);  // no menu of the engine's
}

TEST(WebBrowser, SameSiteMeansSchemeHostAndPort) {
    const QUrl page("http://terms.example/(en)/index.xml");
    EXPECT_TRUE(IsSameSite(page, QUrl("http://TERMS.example:80/other")));
    EXPECT_FALSE(IsSameSite(page, QUrl("http://terms.example:8080/")));
    EXPECT_FALSE(IsSameSite(page, QUrl("https://terms.example/")));
    EXPECT_FALSE(IsSameSite(page, QUrl("http://news.example/")));
}

}  // namespace
}  // namespace Vel

#include "WebBrowserTest.moc"
