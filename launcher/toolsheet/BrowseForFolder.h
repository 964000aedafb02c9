#pragma once
// The folder picker: a modal folder choice whose OK a validator may govern.
//
// Contract:
// - GUI thread only. The picker is Qt's own folder dialog (not the desktop's), folders only,
//   starting at the given folder (or the nearest existing folder above it).
// - With a validator, OK is enabled exactly while the validator accepts the folder that OK
//   would choose (the selected folder, else the one shown), and an OK that reaches the dialog
//   anyway (Return in the name box) is refused while the validator refuses.
// - BrowseForFolder returns true and sets folder to the chosen folder, ending in "/", when the
//   player chooses; Cancel returns false and leaves folder unchanged. The validator sees the
//   candidate with a trailing "/" ("/" for the root).

#include <functional>
#include <string>

#include <QFileDialog>

class QPushButton;

namespace Vel {

using FolderValidator = std::function<bool(const std::string& folder)>;

class FolderPickerDialog final : public QFileDialog {
    Q_OBJECT
public:
    FolderPickerDialog(QWidget* owner, const QString& title, const std::string& start, FolderValidator validator);

    // The folder OK would choose, ending in "/".
    std::string CandidateFolder() const;
    // The chosen folder once the dialog was accepted, ending in "/".
    std::string ChosenFolder() const { return chosen_; }
    QPushButton* OkButton() const;
    // Enables OK as the validator answers for the current candidate.
    void UpdateOk();

    void accept() override;

private:
    FolderValidator validator_;
    std::string chosen_;
};

bool BrowseForFolder(QWidget* owner, const std::string& title, std::string& folder,
                     FolderValidator validator = nullptr);

}  // namespace Vel
