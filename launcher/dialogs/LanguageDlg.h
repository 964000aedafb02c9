#pragma once
// The language choice shown at start-up while no language with interface texts is stored.
//
// Contract:
// - Lists the native name of every language with interface texts, in table order, each item
//   carrying the language id. The item of the thread's language (the system's at start-up) is
//   selected when listed, else the first (English), so that Return takes it. With exactly one
//   such language the dialog takes it at once without showing itself.
// - OK stores the selected id in the setting Language/Language and ends with 1 (also when the
//   settings cannot be written: nothing is thrown from the button). Escape or the close box end
//   with 2 and store nothing.
// - InitDialog runs once (DoModal, or the first show). A missing prompt label is reported
//   through the prompt; a missing list or OK button is skipped (the list then stays empty and
//   OK stores nothing). It fits the dialog's fixed size to its texts.
// - The frame of a fixed-size dialog.
// - GUI thread only.

#include "foundation/text/LanguageTable.h"

#include <QDialog>

#include <vector>

class QComboBox;

namespace Vel {

class VelLanguageDlg final : public QDialog {
    Q_OBJECT
public:
    static constexpr int kOk = 1;
    static constexpr int kCancel = 2;

    // languages: the table to offer from (the program's own by default).
    explicit VelLanguageDlg(QWidget* parent = nullptr, std::vector<LanguageInfo> languages = GetLanguageTable());

    void InitDialog();
    // Escape and the close box.
    void reject() override;
    // InitDialog, then the modal run unless the dialog already ended; its result.
    int DoModal();
    void OnOK();

protected:
    void showEvent(QShowEvent* e) override;

private:
    std::vector<LanguageInfo> languages_;
    QComboBox* list_ = nullptr;
    bool initialised_ = false;
    bool ended_ = false;
};

}  // namespace Vel

namespace Vel {

// EnsureLanguageChosen with this dialog: shows it while no language with interface texts is
// stored; false when it did not end with OK. Then applies the stored language to the thread
// and Qt's own texts (ApplyQtTranslations). Start-up runs it, and the main window again after
// the options page changed the language.
bool EnsureLanguageChosenWithDialog();

}  // namespace Vel
