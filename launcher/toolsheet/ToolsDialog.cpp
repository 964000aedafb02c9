#include "launcher/toolsheet/ToolsDialog.h"

#include "foundation/text/LocalizedStrings.h"
#include "launcher/controls/BitmapResources.h"
#include "launcher/controls/WindowFrame.h"

#include <QDialogButtonBox>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

namespace Vel {
namespace {

QString Text(unsigned id) { return QString::fromStdString(LoadLocalizedString(id)); }

}  // namespace

ToolsDialog::ToolsDialog(int selectedPage, bool onlyThisPage, ToolsPages pages, QWidget* parent,
                         std::function<bool()> is64BitSystem)
    : QDialog(parent), options_(std::move(is64BitSystem)) {
    SetFixedDialogFrame(*this);
    setWindowTitle(Text(129));
    auto* layout = new QVBoxLayout(this);
    tabs_ = new QTabWidget(this);
    tabs_->setObjectName("IDC_TOOLS_TABS");
    layout->addWidget(tabs_);

    struct Entry {
        IToolsPage* page;
        unsigned title;
        unsigned icon;
    };
    const Entry all[] = {{&options_, 1074, 197}, {pages.folders, 144, 202}, {pages.planetData, 145, 203}};
    int current = 0;
    for (int i = 0; i < 3; ++i) {
        if (all[i].page == nullptr) continue;
        if (onlyThisPage && i != selectedPage) continue;
        if (i == selectedPage) current = static_cast<int>(pages_.size());
        pages_.push_back(all[i].page);
        tabs_->addTab(all[i].page->Widget(), LoadIconResource(all[i].icon), Text(all[i].title));
    }

    auto* buttons = new QDialogButtonBox(this);
    QPushButton* ok = buttons->addButton(Text(1099), QDialogButtonBox::AcceptRole);
    ok->setObjectName("IDOK");
    QPushButton* cancel = buttons->addButton(Text(1100), QDialogButtonBox::RejectRole);
    cancel->setObjectName("IDCANCEL");
    layout->addWidget(buttons);
    connect(ok, &QPushButton::clicked, this, [this] {
        try {
            OnOk();
        } catch (...) {
        }
    });
    connect(cancel, &QPushButton::clicked, this, [this] {
        try {
            OnCancel();
        } catch (...) {
        }
    });

    tabs_->setCurrentIndex(current);
    ActivateCurrent();
    // One size for every page: the tab widget's hint covers all of them (each page builds its
    // controls and texts with its widget), and the sheet keeps it whichever tab shows.
    adjustSize();
    setFixedSize(size());
    connect(tabs_, &QTabWidget::currentChanged, this, [this](int) {
        try {
            ActivateCurrent();
        } catch (...) {
        }
    });
}

ToolsDialog::~ToolsDialog() {
    // The pages' widgets belong to the pages, not to the tab widget.
    for (IToolsPage* page : pages_) page->Widget()->setParent(nullptr);
    if (!ended_)
        for (IToolsPage* page : pages_) page->SheetEnded(false);
}

void ToolsDialog::ActivateCurrent() {
    const int index = tabs_->currentIndex();
    if (index >= 0 && index < static_cast<int>(pages_.size())) pages_[static_cast<std::size_t>(index)]->Activate();
}

void ToolsDialog::OnOk() {
    const int index = tabs_->currentIndex();
    IToolsPage* page = index >= 0 && index < static_cast<int>(pages_.size()) ? pages_[static_cast<std::size_t>(index)]
                                                                              : nullptr;
    if (page != nullptr && !page->Apply()) return;
    EndSheet(QDialog::Accepted, page);
}

void ToolsDialog::OnCancel() { EndSheet(QDialog::Rejected, nullptr); }

void ToolsDialog::reject() {
    try {
        OnCancel();
    } catch (...) {
    }
}

void ToolsDialog::EndSheet(int result, IToolsPage* applied) {
    if (ended_) return;
    ended_ = true;
    for (IToolsPage* page : pages_) page->SheetEnded(page == applied);
    done(result);
}

}  // namespace Vel
