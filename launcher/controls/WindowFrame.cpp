#include "launcher/controls/WindowFrame.h"

#include "launcher/controls/BitmapResources.h"

#include <QApplication>
#include <QDialog>
#include <QLayout>

#include <algorithm>

namespace Vel {

void InstallProgramIcon(QApplication& app) { app.setWindowIcon(LoadIconResource(kProgramIconId)); }

void SetFixedDialogFrame(QDialog& dialog) {
    dialog.setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint);
}

void FitFixedDialog(QDialog& dialog) {
    QLayout* layout = dialog.layout();
    if (layout == nullptr) {
        dialog.setFixedSize(dialog.size());
        return;
    }
    layout->activate();
    const QSize least = layout->totalMinimumSize();
    const int width = std::max(dialog.width(), least.width());
    const int height = layout->hasHeightForWidth() ? layout->totalHeightForWidth(width) : layout->totalSizeHint().height();
    dialog.setFixedSize(width, std::max(height, least.height()));
}

}  // namespace Vel
