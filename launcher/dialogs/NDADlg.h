#pragma once
// The terms-of-use dialog: the terms page in the player's language in an embedded browser,
// with "I accept" and "I decline".
//
// Contract:
// - The page's address is the terms site's base address ("web.terms.url", see
//   delivery/net/ServiceEndpoints.h) + "(" + the effective language's two-letter code in lower
//   case + ")/trailstarter/terms-of-use/index.xml".
// - exec/DoModal ends with 1002 (accepted), 1003 (declined) or 2 (Escape, the close box).
// - InitDialog runs once (DoModal, or the first show): it navigates the browser and sets the
//   texts. A missing button is reported through the prompt and the dialog goes on; without a
//   browser area, or without a browser (none installed), the dialog shows no page.
// - GUI thread only.

#include "foundation/text/LanguageTable.h"

#include <QDialog>

#include <string>

namespace Vel {

class IWebView;

// The terms page's address for a base address (a missing final "/" is supplied) and a language.
std::string TermsPageUrl(const std::string& baseUrl, const LanguageInfo& language);

class VelNDADlg final : public QDialog {
    Q_OBJECT
public:
    static constexpr int kAccepted = 1002;
    static constexpr int kDeclined = 1003;
    static constexpr int kClosed = 2;

    explicit VelNDADlg(QWidget* parent = nullptr);

    void InitDialog();
    // Escape and the close box.
    void reject() override;
    int DoModal();

    // The embedded browser; null when there is none.
    IWebView* Browser() const { return browser_; }

protected:
    void showEvent(QShowEvent* e) override;

private:
    IWebView* browser_ = nullptr;
    bool initialised_ = false;
};

}  // namespace Vel
