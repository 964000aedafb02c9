#pragma once
// One page of the tools sheet, as the sheet sees it.
//
// Contract:
// - GUI thread only. The page owns its widget; Widget() may be called before the first
//   activation and returns the same widget for the page's life.
// - Activate is called on every activation: the page builds and fills its controls on the
//   first one (as the framework's pages do) and is told about every later one.
// - Apply runs only for the page showing when the sheet ends with OK; false keeps the sheet
//   open (the page has told the player why).
// - SheetEnded runs for every page however the sheet ends (a page that registered itself
//   somewhere lets go there); applied says whether this page's Apply succeeded.

class QWidget;

namespace Vel {

class IToolsPage {
public:
    virtual ~IToolsPage() = default;
    virtual QWidget* Widget() = 0;
    virtual void Activate() = 0;
    virtual bool Apply() = 0;
    virtual void SheetEnded(bool applied) { (void)applied; }
};

}  // namespace Vel
