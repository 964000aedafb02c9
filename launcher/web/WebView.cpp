#include "launcher/web/WebView.h"

#include <QVBoxLayout>
#include <QWidget>

#include <mutex>

namespace Vel {
namespace {

std::mutex& FactoryMutex() {
    static std::mutex mutex;
    return mutex;
}

WebViewFactory& Factory() {
    static WebViewFactory factory;
    return factory;
}

}  // namespace

WebViewFactory SetWebViewFactory(WebViewFactory factory) {
    std::lock_guard lock(FactoryMutex());
    std::swap(Factory(), factory);
    return factory;
}

IWebView* CreateWebView(QWidget* area) {
    if (area == nullptr) return nullptr;
    WebViewFactory factory;
    {
        std::lock_guard lock(FactoryMutex());
        factory = Factory();
    }
    if (!factory) return nullptr;
    IWebView* view = factory(area);
    if (view == nullptr) return nullptr;
    QLayout* layout = area->layout();
    if (layout == nullptr) {
        auto* box = new QVBoxLayout(area);
        box->setContentsMargins(0, 0, 0, 0);
        layout = box;
    }
    layout->addWidget(view->Widget());
    return view;
}

}  // namespace Vel
