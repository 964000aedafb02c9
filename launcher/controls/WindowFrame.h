#pragma once
// The frame of the launcher's top-level windows: the program's icon on every one, with a parent
// or without, and the frame of a fixed-size dialog on the dialogs whose size does not change.
//
// Contract:
// - InstallProgramIcon makes the program's icon (bitmap 128) the application's window icon, so
//   that every window that sets none of its own carries it: the message boxes (also those asked
//   for on other threads), the folder picker, dialogs with a parent or without. Start-up calls
//   it once, after the QApplication exists.
// - SetFixedDialogFrame, from a dialog's constructor (before it first shows): the window flags of
//   a fixed-size dialog: title bar, system menu and close box; no minimise, maximise or
//   context-help box.
// - FitFixedDialog, once the dialog's texts are in (its InitDialog): the dialog takes the size
//   its content needs, at least as wide as it was designed and no higher than the content, and
//   keeps it (equal minimum and maximum size, which the window manager also gets). Word-wrapped
//   texts wrap at that width.
// - GUI thread only.

class QApplication;
class QDialog;

namespace Vel {

void InstallProgramIcon(QApplication& app);
void SetFixedDialogFrame(QDialog& dialog);
void FitFixedDialog(QDialog& dialog);

}  // namespace Vel
