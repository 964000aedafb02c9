#pragma once
// The about box: the installed client version and the maker's rights line.
//
// Contract:
// - The text is string 134 with the client version read again from "version.txt" in its first
//   "%s" and "Corvane " + the current year (UTC) in its second, filled in literally.
// - exec/DoModal ends with 1 for OK, 2 for Escape or the close box.
// - InitDialog runs once (DoModal, or the first show); a missing control is reported through
//   the prompt and the dialog goes on. It fits the dialog's fixed size to the text.
// - The frame of a fixed-size dialog.
// - GUI thread only.

#include <QDialog>

#include <string>

namespace Vel {

// The maker's name in the rights line.
inline constexpr const char* kCompanyName = "Corvane";

// String 134 filled with the version text and the year.
std::string FormatAboutText(const std::string& version, int year);

class CAboutDlg final : public QDialog {
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget* parent = nullptr);

    void InitDialog();
    // Escape and the close box.
    void reject() override;
    int DoModal();

protected:
    void showEvent(QShowEvent* e) override;

private:
    bool initialised_ = false;
};

}  // namespace Vel
