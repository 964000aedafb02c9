#pragma once
// A web page shown inside a dialog or window: the news page and the terms of use.
//
// Contract:
// - IWebView is the little the callers need: the widget, loading an address and reading the
//   address shown. Views are widgets owned by their parent widget (Qt ownership): they go with
//   it, and callers never delete them.
// - CreateWebView builds a view filling the given area through the installed factory. The
//   program installs the real browser at start (launcher/web/WebBrowser.h); tests install a
//   fake, so that only the browser's own tests start a browser engine. With no factory
//   installed it returns null and the caller goes on without a page.
// - GUI thread only. SetWebViewFactory is called before any dialog that shows a page; the
//   factory is kept behind a mutex so that installing it never races a reader.

#include <functional>
#include <string>

class QWidget;

namespace Vel {

class IWebView {
public:
    virtual ~IWebView() = default;
    virtual QWidget* Widget() = 0;
    // Starts loading the address; the page shows when it has loaded.
    virtual void Navigate(const std::string& url) = 0;
    // The address of the page shown (or being loaded); "" before the first navigation.
    virtual std::string GetLocationURL() const = 0;
};

// Makes a view as a child of the given widget; null when it cannot.
using WebViewFactory = std::function<IWebView*(QWidget* parent)>;

// Installs the factory (an empty one removes it); returns the one it replaces.
WebViewFactory SetWebViewFactory(WebViewFactory factory);

// A view filling `area` (laid out in it), or null when no factory is installed or area is null.
IWebView* CreateWebView(QWidget* area);

}  // namespace Vel
