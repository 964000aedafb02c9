#pragma once
// Vel::DynamicContentDlg: the tools sheet's planet-data page. It lists the planets whose data
// can be downloaded in the background, lets the player tick each planet's background download
// on or off and order the ticked ones (Prioritize, Deprioritize), and shows for each planet how
// much of its data is present. OK stores the ticked planets in priority order in the background
// download list and restarts the planet-data download worker.
//
// Contract:
// - GUI thread only, except for the size answers: IPlanetSizeQuery may answer on any thread.
//   An answer takes the process-wide page lock only to see whether the page that asked is still
//   the registered one with the same generation, and then queues itself to the GUI thread; there
//   it is checked again and matched to its row by the generation and a row key, never by the
//   row's address. A refill of the list starts a new generation, and closing the sheet (or
//   destroying the page) unregisters it, so a late answer is dropped.
// - At most one page is registered in the process; the lock is never held while the size query
//   is asked, so a query may answer at once, inside the call.
// - Size queries run one at a time, from the top row down, each answer starting the next.
// - Rows are rebuilt on every activation, except while the content folder is being moved: then
//   the list is disabled and left as it is. Nothing is stored except by Apply.
// - Apply (ApplyDownloadList with apply true): unless a move runs, saves the list (a failed
//   write is shown and keeps the sheet open, the page still registered), unregisters, and hands
//   a fresh planet-data download worker (mode 0, no compaction) to the worker runner. A runner
//   that refuses it (a worker that will not give way) leaves the saved list for the next start
//   of the download.

#include "launcher/toolsheet/PlanetSizeQuery.h"
#include "launcher/toolsheet/ToolsPage.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class QLabel;
class QObject;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;
class QWidget;

namespace Vel {

// One row of the page.
struct PackageData {
    std::string displayName;
    std::uint16_t planetId = 0;
    int priority = 0;  // 0: not downloaded in the background; larger values come earlier
    bool sizeQueried = false;
};

// The list's order: higher priority first, equal priorities by name as unsigned bytes.
bool ComparePackages(const PackageData& a, const PackageData& b);
// The share of a planet's data that is present, 0 to 100; 0 when total is 0. Bytes still to
// download above the total count as all of it.
unsigned PresentPercent(std::uint64_t total, std::uint64_t needed);

class DynamicContentDlg final : public IToolsPage {
public:
    explicit DynamicContentDlg(IPlanetSizeQuery& sizes);
    ~DynamicContentDlg() override;
    DynamicContentDlg(const DynamicContentDlg&) = delete;
    DynamicContentDlg& operator=(const DynamicContentDlg&) = delete;

    QWidget* Widget() override;
    void Activate() override;
    bool Apply() override;
    void SheetEnded(bool applied) override;

    // Always true; throws Vel::Exception when the list cannot be written (still registered then).
    bool ApplyDownloadList(bool apply);
    bool SaveDownloadList();
    void RefreshPlanetList();
    void Prioritize();
    void Deprioritize();

    // The rows in the list's order, and the controls; for the sheet and for tests.
    std::vector<PackageData> Rows() const;
    QTreeWidget* List() const { return list_; }
    QPushButton* PrioritizeButton() const { return prioritize_; }
    QPushButton* DeprioritizeButton() const { return deprioritize_; }
    QLabel* Description() const { return description_; }

private:
    struct Row {
        PackageData data;
        int key = 0;  // unique within a generation
        std::string status;
        std::string toDownload;
    };

    void InitPage();
    void Register();
    void Unregister();
    bool IsRegistered(std::uint64_t generation) const;
    void QueryNextPackageSize();
    void OnPackageSizeKnown(std::uint64_t generation, int key, bool ok, std::uint64_t total, std::uint64_t needed);
    void OnItemChanged(QTreeWidgetItem* item);
    void MovePriority(int step);
    void UpdatePriorityButtons();
    // Sorts the rows and shows them, with the row of markKey (if any) selected and in view.
    void SortAndShow(int markKey);
    void ShowRows();
    int SelectedIndex() const;

    IPlanetSizeQuery& sizes_;
    std::unique_ptr<QWidget> widget_;
    std::unique_ptr<QObject> anchor_;  // the GUI-thread receiver of queued size answers
    bool initialised_ = false;
    std::uint64_t generation_ = 0;
    std::vector<Row> rows_;

    QTreeWidget* list_ = nullptr;
    QPushButton* prioritize_ = nullptr;
    QPushButton* deprioritize_ = nullptr;
    QLabel* description_ = nullptr;
};

}  // namespace Vel
