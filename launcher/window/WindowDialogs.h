#pragma once
// The production side of the main window's dialogs and language (MainWindowServices.h): the
// tools sheet, the about box, the connection error after a failed update-list fetch, and the
// language choice.
//
// Contract:
// - RunTools runs a ToolsDialog opened on the options page with every page; true for OK. The
//   folders and planet-data pages are made for that run and end with it, so every run starts
//   from the stored settings and the current figures. Without a planet size query there is no
//   planet-data page.
// - ShowConnectionError shows the error dialog with string 1139 (the internet works, the
//   update server does not) when the update server itself answered (a status, or a
//   certificate that could not be verified) or else when the public probe page
//   ("web.probe.url", see delivery/net/ServiceEndpoints.h) can be fetched, else 1136; the
//   failure's cause is the description; Try again disabled. The probe blocks the calling
//   thread for at most its connect time-out.
// - GUI thread only; no state beyond the size query handed in, which must outlive this object.

#include "launcher/window/MainWindowServices.h"
#include "launcher/toolsheet/PlanetSizeQuery.h"

namespace Vel {

class WindowDialogs final : public IWindowDialogs, public ILanguage {
public:
    explicit WindowDialogs(IPlanetSizeQuery* planetSizes = nullptr) : planetSizes_(planetSizes) {}

    bool RunTools(QWidget* parent) override;
    void ShowAbout(QWidget* parent) override;
    void ShowConnectionError(QWidget* parent, const UpdateManager::UpdateFailure& failure) override;

    int LoadStoredLanguage() override;
    void EnsureLanguageChosen() override;

private:
    IPlanetSizeQuery* planetSizes_;
};

}  // namespace Vel
