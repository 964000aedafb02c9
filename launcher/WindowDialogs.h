#pragma once
// The main window's modal dialogs: the tools sheet, the about box, and the connection error
// after a failed fetch of the update list; and the interface language the window applies
// after the tools sheet.
//
// Contract:
// - GUI thread only; no state beyond the pages handed in.
// - RunTools runs a ToolsDialog opened on the options page with every page; true for OK.
// - ShowConnectionError probes a public web site (a short HEAD-less GET with a 5 s time-out):
//   it answers, string 1139 (the update server cannot be reached), else 1136 (no internet);
//   shown without Try again.
// - WindowLanguage reads the stored language and applies it to the GUI thread.

#include "launcher/MainWindowServices.h"
#include "launcher/ToolsDialog.h"

namespace Vel {

// The public web site the connection error probes.
inline constexpr const char* kConnectivityProbeUrl = "http://example.com/";

class WindowDialogs final : public IWindowDialogs {
public:
    explicit WindowDialogs(ToolsPages pages = {}) : pages_(pages) {}
    bool RunTools(QWidget* parent) override;
    void ShowAbout(QWidget* parent) override;
    void ShowConnectionError(QWidget* parent) override;

private:
    ToolsPages pages_;
};

class WindowLanguage final : public ILanguage {
public:
    int LoadStoredLanguage() override;
    void EnsureLanguageChosen() override;
};

}  // namespace Vel
