#pragma once
// The error dialog: every failure the player must acknowledge or may retry. Its string-table
// entry holds four parts separated by "|" (title, message, description, suggestions); the
// caller's argument goes into the part that holds "%s".
//
// Contract:
// - The text is split at "|" first and the argument put in afterwards, literally: an argument
//   holding "|" or "%" never moves or breaks the parts, and no text is used as a printf format.
// - exec/DoModal ends with 1 (Try again) or 2 (Cancel, Escape or the close box). With the
//   disable-retry flag Try again is disabled.
// - Texts are loaded in the language of the thread that constructs the dialog: the entry at
//   construction, the captions at InitDialog (run by DoModal or the first show). A missing
//   named control is reported through the prompt and the dialog goes on; the three part
//   labels are skipped silently.
// - A part without text shows no section: its heading and its label are hidden (a text without
//   suggestions ends with its description). The dialog has the frame of a fixed-size dialog and
//   a fixed size, fitted at InitDialog to the sections it shows.
// - VelErrorDlg is a widget: GUI thread only. RunErrorDialog may be called from any thread:
//   from another thread the dialog is shown by the GUI thread through the process's dialog
//   service, in the calling thread's language, while the caller waits; a wait that gives up
//   (the caller's job aborted, the main window gone, no service) answers 2.

#include <QDialog>

#include <string>

class QPushButton;

namespace Vel {

struct ErrorTextParts {
    std::string title;
    std::string message;
    std::string description;
    std::string suggestions;
};

// Cuts at "|": before the first is the title, then message and description; everything after
// the third "|" (further "|" included) is the suggestions. Parts after the last "|" of a text
// with fewer than three are dropped; without any "|" all four are empty.
ErrorTextParts SplitErrorText(const std::string& text);
// SplitErrorText, then the argument into the first "%s" of the parts (in the order above).
ErrorTextParts FormatErrorText(const std::string& text, const std::string& argument);

class VelErrorDlg final : public QDialog {
    Q_OBJECT
public:
    static constexpr int kTryAgain = 1;
    static constexpr int kCancel = 2;

    VelErrorDlg(unsigned stringId, const std::string& argument, bool disableRetry, QWidget* parent = nullptr);

    void InitDialog();
    // Try again ends with 1; Cancel, Escape and the close box with 2.
    void accept() override;
    void reject() override;
    // InitDialog, then the modal run; the result as above.
    int DoModal();

    const ErrorTextParts& Parts() const { return parts_; }

protected:
    void showEvent(QShowEvent* e) override;

private:
    bool disableRetry_;
    std::string text_;
    ErrorTextParts parts_;
    bool initialised_ = false;
};

// Shows the error dialog from any thread (see the contract); the parent is used on the GUI
// thread only.
int RunErrorDialog(unsigned stringId, const std::string& argument, bool disableRetry, QWidget* parent = nullptr);

}  // namespace Vel
