#pragma once
// Finding a dialog's controls by their symbolic names.
//
// Contract:
// - GetDialogItem looks for a child of the dialog whose object name is the symbolic name and
//   that is of the wanted widget class. When there is none it shows
//   "Internal error: Couldn't get dialog item " + the name through the process prompt and
//   returns null; the dialog goes on without that control, so callers check the pointer.
// - GUI thread only.

#include "platform/Prompt.h"

#include <QWidget>

#include <string>

namespace Vel {

void ReportMissingDialogItem(const std::string& name);

template <class T>
T* GetDialogItem(QWidget* dialog, const char* name) {
    T* item = dialog->findChild<T*>(QString::fromUtf8(name));
    if (item == nullptr) ReportMissingDialogItem(name);
    return item;
}

}  // namespace Vel
