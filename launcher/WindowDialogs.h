#pragma once
// The production side of the main window's dialogs and language (MainWindowServices.h): the
// about box, the connection error after a failed update-list fetch, and the language choice.
//
// Contract:
// - ShowConnectionError fetches the public probe page ("web.probe.url", see
//   delivery/ServiceEndpoints.h) and shows the error dialog with string 1139 (the internet
//   works, the update server does not) when that succeeded, else 1136; Try again disabled.
//   The fetch blocks the calling thread for at most its connect time-out.
// - RunTools answers false: the tools sheet is not part of this program yet.
// - GUI thread only; no state of its own.

#include "launcher/MainWindowServices.h"

namespace Vel {

class WindowDialogs final : public IWindowDialogs, public ILanguage {
public:
    bool RunTools(QWidget* parent) override;
    void ShowAbout(QWidget* parent) override;
    void ShowConnectionError(QWidget* parent) override;

    int LoadStoredLanguage() override;
    void EnsureLanguageChosen() override;
};

}  // namespace Vel
