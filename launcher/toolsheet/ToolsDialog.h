#pragma once
// Vel::ToolsDialog: the modal tools sheet with the options, folders and planet-data pages
// under their tabs, and OK and Cancel.
//
// Contract:
// - GUI thread only. The options page is the sheet's own; the folders and planet-data pages
//   are handed in (null: that tab is left out) and must outlive the sheet. The main window
//   hands in pages made for this one run (WindowDialogs).
// - The sheet takes one fixed size, made for the largest page, when it is built: switching
//   tabs or showing a page's warning never resizes it. Each tab shows its page's icon; the
//   sheet has the frame of a fixed-size dialog.
// - Each page is activated whenever its tab shows (its first activation builds it).
// - OK applies only the page that shows; when it refuses (Apply false) the sheet stays open.
//   Then, and on Cancel, every page hears SheetEnded, so a page that registered itself lets
//   go however the sheet ends. The result is QDialog::Accepted (1) or Rejected.
// - With onlyThisPage only the selected page is added.

#include "launcher/toolsheet/ClientOptionsPage.h"
#include "launcher/toolsheet/ToolsPage.h"

#include <QDialog>

#include <vector>

class QTabWidget;

namespace Vel {

struct ToolsPages {
    IToolsPage* folders = nullptr;
    IToolsPage* planetData = nullptr;
};

class ToolsDialog final : public QDialog {
    Q_OBJECT
public:
    ToolsDialog(int selectedPage, bool onlyThisPage, ToolsPages pages, QWidget* parent = nullptr,
                std::function<bool()> is64BitSystem = nullptr);
    ~ToolsDialog() override;

    VelClientOptionsDlg& OptionsPage() { return options_; }
    QTabWidget* Tabs() const { return tabs_; }
    // The sheet's OK and Cancel.
    void OnOk();
    void OnCancel();

protected:
    void reject() override;

private:
    void ActivateCurrent();
    void EndSheet(int result, IToolsPage* applied);

    VelClientOptionsDlg options_;
    std::vector<IToolsPage*> pages_;
    QTabWidget* tabs_ = nullptr;
    bool ended_ = false;
};

}  // namespace Vel
