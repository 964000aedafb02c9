#pragma once
// Vel::FolderOptionsDlg: the tools sheet's folders page. It shows the folder the planet data
// lives under, the free space on that folder's volume, the space the planet data uses and the
// space recommended, and on the sheet's OK moves the planet data below a newly chosen folder
// (the move-content worker, through the updater).
//
// Contract:
// - GUI thread only; no locks. The page object may serve several sheets: every sheet's first
//   activation fills it afresh from the settings, and SheetEnded forgets the sheet's state
//   (pathValidated among it).
// - The free space is asked for the mount point that holds the typed folder (the folder need
//   not exist yet: a missing folder shows the free space of the volume that would hold it). A
//   relative text, the bare root "/", a folder on no volume or on a volume that cannot be
//   measured (one that reports no blocks, as /proc does) shows "0" and the invalid-path
//   warning, never the low-space one; otherwise the low-space warning shows exactly when the
//   free bytes are fewer than the space needed. pathValidated is set by the first valid folder
//   shown and stays set for the sheet.
// - While a planet-data worker (download, compaction, repair) or a move runs, every control
//   but the description is disabled and the description says why.
// - Apply (the sheet's OK): nothing unless pathValidated and no update runs; nothing when the
//   chosen folder is the current one (compared with letter case: they are different folders on
//   Linux). The new folder must be absolute, more than the root, not inside the current
//   parent folder, creatable and writable; a failure asks Retry/Cancel (entry 147). Then a
//   MoveContentWorker for the folder (absolute, letter case kept, no trailing "/") goes to the
//   worker runner. When the runner refuses (a running worker that cannot be stopped), the page
//   says so and Apply answers false, keeping the sheet open. Apply never throws.

#include "launcher/toolsheet/ToolsPage.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class QLabel;
class QLineEdit;
class QPushButton;
class QWidget;

namespace Vel {

// What the page asks the system; null members take the real answers.
struct FolderPageServices {
    // GetMeasuredFreeSpace of a mount point: nothing when the volume cannot be measured.
    std::function<std::optional<std::uint64_t>(const std::string& volume)> freeSpace;
    std::function<std::uint64_t()> spaceNeeded;                       // GetContentSpaceNeeded
    std::function<std::uint64_t()> folderSize;                        // GetContentFolderSize
    // BrowseForFolder without a validator: true and the folder when the player chose one.
    std::function<bool(QWidget* owner, const std::string& title, std::string& folder)> browse;
};

inline constexpr const char* kRunWorkerRefusedText =
    "The planet data cannot be moved now: the task that is running cannot be stopped. Please try again when it "
    "has finished.";

class FolderOptionsDlg final : public IToolsPage {
public:
    explicit FolderOptionsDlg(FolderPageServices services = {});
    ~FolderOptionsDlg() override;

    QWidget* Widget() override;
    void Activate() override;
    bool Apply() override;
    void SheetEnded(bool applied) override;

    // 0 normal, 1 planet data downloads (or is compacted or repaired), 2 planet data moves.
    static int StateForWorker(int workerType);

    void UpdateSpaceInfo();
    void BrowseContentFolder();
    // The box's folder: trimmed, "/" separators, absolute against the current directory,
    // "." and ".." resolved, letter case kept, no trailing separator (the root stays "/").
    std::string GetChosenFolder() const;
    bool IsPathValidated() const { return pathValidated_; }

    // The controls, for tests; null before the first Activate.
    QLineEdit* FolderEdit() const { return folder_; }
    QPushButton* BrowseButton() const { return browse_; }
    QLabel* Description() const { return description_; }
    QLabel* FreeSpace() const { return free_; }
    QLabel* UsedSpace() const { return used_; }
    QLabel* RecommendedSpace() const { return recommended_; }
    QLabel* LowSpaceWarning() const { return lowSpace_; }
    QLabel* InvalidPathWarning() const { return invalidPath_; }

private:
    void BuildControls();
    void InitPage();
    void ApplyState(int state);
    void ShowContentFolder();
    bool CheckNewFolder(const std::string& folder, const std::string& oldFolder) const;
    bool ApplyContentFolder();

    FolderPageServices services_;
    std::unique_ptr<QWidget> widget_;
    bool built_ = false;
    bool initialised_ = false;  // for the current sheet
    bool pathValidated_ = false;

    QLineEdit* folder_ = nullptr;
    QPushButton* browse_ = nullptr;
    QLabel* folderLabel_ = nullptr;
    QLabel* description_ = nullptr;
    QLabel* freeLabel_ = nullptr;
    QLabel* usedLabel_ = nullptr;
    QLabel* recommendedLabel_ = nullptr;
    QLabel* free_ = nullptr;
    QLabel* used_ = nullptr;
    QLabel* recommended_ = nullptr;
    QLabel* lowSpace_ = nullptr;
    QLabel* invalidPath_ = nullptr;
};

}  // namespace Vel
