#pragma once
// A web view that loads nothing: it records the addresses it is sent to and reads the last one
// back. FakeWebViews installs a factory making them for its lifetime, so dialogs with a page
// run in tests without a browser engine. GUI thread only.

#include "launcher/web/WebView.h"

#include <QWidget>

#include <string>
#include <vector>

namespace Vel::Test {

class FakeWebView final : public QWidget, public IWebView {
public:
    explicit FakeWebView(QWidget* parent) : QWidget(parent) {}
    QWidget* Widget() override { return this; }
    void Navigate(const std::string& url) override { navigations.push_back(url); }
    std::string GetLocationURL() const override { return navigations.empty() ? "" : navigations.back(); }

    std::vector<std::string> navigations;
};

class FakeWebViews {
public:
    FakeWebViews() {
        previous_ = SetWebViewFactory([this](QWidget* parent) -> IWebView* {
            last = new FakeWebView(parent);
            return last;
        });
    }
    ~FakeWebViews() { SetWebViewFactory(std::move(previous_)); }
    FakeWebViews(const FakeWebViews&) = delete;
    FakeWebViews& operator=(const FakeWebViews&) = delete;

    FakeWebView* last = nullptr;  // owned by its parent widget

private:
    WebViewFactory previous_;
};

}  // namespace Vel::Test
