#include "launcher/toolsheet/DynamicContentDlg.h"

#include "delivery/content/PlanetList.h"
#include "delivery/workers/WorkerRunner.h"
#include "delivery/workers/Workers.h"
#include "foundation/core/Exception.h"
#include "foundation/text/LocalizedStrings.h"
#include "foundation/threads/Mutex.h"
#include "foundation/core/StringUtils.h"
#include "platform/Prompt.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMetaObject>
#include <QPushButton>
#include <QSignalBlocker>
#include <QStyle>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace Vel {
namespace {

QString Text(unsigned id) { return QString::fromStdString(LoadLocalizedString(id)); }

enum Column { kName = 0, kStatus = 1, kToDownload = 2 };

// The page that currently shows the list, or none, and the generation of its rows. Never
// destroyed, so an answer that comes while the process ends still finds a working lock.
struct PageRegistry {
    VelMutex mutex{"DynamicContentDlg"};
    DynamicContentDlg* page = nullptr;
    QObject* receiver = nullptr;
    std::uint64_t generation = 0;
    std::uint64_t lastGeneration = 0;
};

PageRegistry& Registry() {
    static PageRegistry* registry = new PageRegistry;
    return *registry;
}

}  // namespace

bool ComparePackages(const PackageData& a, const PackageData& b) {
    if (a.priority != b.priority) return a.priority > b.priority;
    // std::string compares its bytes as unsigned char.
    return a.displayName.compare(b.displayName) < 0;
}

unsigned PresentPercent(std::uint64_t total, std::uint64_t needed) {
    if (total == 0) return 0;
    const std::uint64_t present = total - std::min(needed, total);
    return static_cast<unsigned>(static_cast<unsigned __int128>(present) * 100 / total);
}

DynamicContentDlg::DynamicContentDlg(IPlanetSizeQuery& sizes) : sizes_(sizes), anchor_(std::make_unique<QObject>()) {}

DynamicContentDlg::~DynamicContentDlg() {
    // After this no answer is queued to the anchor; those already queued go with it.
    Unregister();
}

QWidget* DynamicContentDlg::Widget() {
    if (!widget_) {
        widget_ = std::make_unique<QWidget>();
        widget_->setObjectName("IDD_DYNAMIC_CONTENT");
        InitPage();  // the controls exist before the page shows, so the sheet is sized for them
    }
    return widget_.get();
}

void DynamicContentDlg::InitPage() {
    initialised_ = true;
    QWidget* page = widget_.get();
    auto* layout = new QVBoxLayout(page);

    description_ = new QLabel(page);
    description_->setObjectName("IDC_DESCRIPTION");
    description_->setWordWrap(true);
    layout->addWidget(description_);

    list_ = new QTreeWidget(page);
    list_->setObjectName("IDC_PLANET_LIST");
    list_->setRootIsDecorated(false);
    list_->setItemsExpandable(false);
    list_->setUniformRowHeights(true);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setSelectionBehavior(QAbstractItemView::SelectRows);
    list_->setSortingEnabled(false);  // the page keeps its own order
    list_->setHeaderLabels({QStringLiteral("Name"), QStringLiteral("Status"), QStringLiteral("To download")});
    // Wide enough for the three columns (300, 50 and 100 pixels) with the frame and a scroll bar,
    // so the sheet grows to show them when this page first shows.
    list_->setMinimumWidth(300 + 50 + 100 + 2 * list_->frameWidth() +
                           list_->style()->pixelMetric(QStyle::PM_ScrollBarExtent) + 4);
    layout->addWidget(list_, 1);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    prioritize_ = new QPushButton(QStringLiteral("Prioritize"), page);
    prioritize_->setObjectName("IDC_PRIORITIZE");
    deprioritize_ = new QPushButton(QStringLiteral("Deprioritize"), page);
    deprioritize_->setObjectName("IDC_DEPRIORITIZE");
    buttons->addWidget(prioritize_);
    buttons->addWidget(deprioritize_);
    layout->addLayout(buttons);

    description_->setText(Text(158));

    QObject::connect(list_, &QTreeWidget::itemChanged, page, [this](QTreeWidgetItem* item, int) {
        try {
            OnItemChanged(item);
        } catch (...) {
        }
    });
    QObject::connect(list_, &QTreeWidget::itemSelectionChanged, page, [this] {
        try {
            UpdatePriorityButtons();
        } catch (...) {
        }
    });
    QObject::connect(prioritize_, &QPushButton::clicked, page, [this] {
        try {
            Prioritize();
        } catch (...) {
        }
    });
    QObject::connect(deprioritize_, &QPushButton::clicked, page, [this] {
        try {
            Deprioritize();
        } catch (...) {
        }
    });
}

void DynamicContentDlg::Activate() {
    Widget();  // builds the controls once
    Register();
    if (GetCurrentWorkerType() == kMoveContentWorker) {
        description_->setText(Text(1261));
        list_->setEnabled(false);
    } else {
        RefreshPlanetList();
        description_->setText(Text(158));
        list_->setEnabled(true);
    }
    prioritize_->setEnabled(false);
    deprioritize_->setEnabled(false);
}

bool DynamicContentDlg::Apply() {
    try {
        return ApplyDownloadList(true);
    } catch (const Exception&) {
        Platform::ShowPrompt("The settings could not be saved. Please check that your settings file can be written.",
                             Platform::PromptButtons::Ok, Platform::PromptIcon::Error);
        return false;
    }
}

void DynamicContentDlg::SheetEnded(bool) { Unregister(); }

bool DynamicContentDlg::ApplyDownloadList(bool apply) {
    const bool save = apply && GetCurrentWorkerType() != kMoveContentWorker;
    if (save) SaveDownloadList();
    Unregister();
    if (!save) return true;
    try {
        RunWorker(std::make_shared<DownloadDynamicContentWorker>(0, false));
    } catch (const Exception&) {
        // The list is stored; the download follows it when it next starts.
    }
    return true;
}

bool DynamicContentDlg::SaveDownloadList() {
    std::vector<std::uint16_t> ids;
    for (const Row& row : rows_)
        if (row.data.priority > 0) ids.push_back(row.data.planetId);
    SaveBackgroundDownloadList(ids);
    return true;
}

void DynamicContentDlg::Register() {
    PageRegistry& registry = Registry();
    VelMutex::ScopedLock lock(registry.mutex);
    registry.page = this;
    registry.receiver = anchor_.get();
    registry.generation = generation_;
}

void DynamicContentDlg::Unregister() {
    PageRegistry& registry = Registry();
    VelMutex::ScopedLock lock(registry.mutex);
    if (registry.page != this) return;
    registry.page = nullptr;
    registry.receiver = nullptr;
    registry.generation = 0;
}

bool DynamicContentDlg::IsRegistered(std::uint64_t generation) const {
    PageRegistry& registry = Registry();
    VelMutex::ScopedLock lock(registry.mutex);
    return registry.page == this && registry.generation == generation;
}

void DynamicContentDlg::RefreshPlanetList() {
    Widget();  // builds the controls once
    {
        PageRegistry& registry = Registry();
        VelMutex::ScopedLock lock(registry.mutex);
        generation_ = ++registry.lastGeneration;
        if (registry.page == this) registry.generation = generation_;
    }
    rows_.clear();

    const std::vector<std::uint16_t> ordered = LoadBackgroundDownloadList();
    const std::vector<std::uint16_t> planets = GetPlanetIds(false);
    int key = 0;
    for (std::uint16_t id : planets) {
        Row row;
        row.key = ++key;
        row.data.displayName = GetPlanetDisplayName(id);
        row.data.planetId = id;
        const auto found = std::find(ordered.begin(), ordered.end(), id);
        if (found != ordered.end())
            row.data.priority = static_cast<int>(ordered.size()) - static_cast<int>(found - ordered.begin()) + 1;
        rows_.push_back(std::move(row));
    }

    {
        const QSignalBlocker block(list_);
        list_->clear();
        for (std::size_t i = 0; i < rows_.size(); ++i) {
            auto* item = new QTreeWidgetItem(list_);
            item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
        }
    }
    list_->setColumnWidth(kName, 300);
    list_->setColumnWidth(kStatus, 50);
    list_->setColumnWidth(kToDownload, 100);
    SortAndShow(0);
    QueryNextPackageSize();
}

void DynamicContentDlg::QueryNextPackageSize() {
    const auto next = std::find_if(rows_.begin(), rows_.end(), [](const Row& row) { return !row.data.sizeQueried; });
    if (next == rows_.end()) return;
    next->data.sizeQueried = true;
    const std::uint64_t generation = generation_;
    const int key = next->key;
    sizes_.Query(next->data.planetId, [generation, key](bool ok, std::uint64_t total, std::uint64_t needed) {
        PageRegistry& registry = Registry();
        VelMutex::ScopedLock lock(registry.mutex);
        if (registry.page == nullptr || registry.generation != generation) return;  // closed or refilled
        // Queued under the lock: the page unregisters (under it) before its anchor goes, and
        // Qt drops what is still queued for an anchor that has gone.
        DynamicContentDlg* page = registry.page;
        QMetaObject::invokeMethod(
            registry.receiver,
            [page, generation, key, ok, total, needed] {
                try {
                    page->OnPackageSizeKnown(generation, key, ok, total, needed);
                } catch (...) {
                }
            },
            Qt::QueuedConnection);
    });
}

void DynamicContentDlg::OnPackageSizeKnown(std::uint64_t generation, int key, bool ok, std::uint64_t total,
                                           std::uint64_t needed) {
    if (generation != generation_ || !IsRegistered(generation)) return;
    const auto row = std::find_if(rows_.begin(), rows_.end(), [key](const Row& r) { return r.key == key; });
    if (row == rows_.end()) return;
    if (ok) {
        row->status = std::to_string(PresentPercent(total, needed)) + "%";
        row->toDownload = FormatByteSize(needed);
    } else {
        row->status = "Invalid package";
    }
    ShowRows();
    QueryNextPackageSize();
}

void DynamicContentDlg::OnItemChanged(QTreeWidgetItem* item) {
    const int index = list_->indexOfTopLevelItem(item);
    if (index < 0 || index >= static_cast<int>(rows_.size())) return;
    Row& row = rows_[static_cast<std::size_t>(index)];
    const bool ticked = item->checkState(kName) == Qt::Checked;
    if (ticked == (row.data.priority > 0)) return;
    if (ticked) {
        int highest = 0;
        for (const Row& r : rows_) highest = std::max(highest, r.data.priority);
        row.data.priority = highest + 1;
    } else {
        row.data.priority = 0;
    }
    SortAndShow(row.key);
}

void DynamicContentDlg::Prioritize() { MovePriority(-1); }

void DynamicContentDlg::Deprioritize() { MovePriority(+1); }

void DynamicContentDlg::MovePriority(int step) {
    if (!initialised_) return;
    QTreeWidgetItem* mark = list_->currentItem();
    const int index = mark != nullptr ? list_->indexOfTopLevelItem(mark) : -1;
    const int other = index + step;
    if (index < 0 || other < 0 || other >= static_cast<int>(rows_.size())) return;
    Row& row = rows_[static_cast<std::size_t>(index)];
    Row& neighbour = rows_[static_cast<std::size_t>(other)];
    // Only ticked rows change places: an unticked row must not take a priority.
    if (row.data.priority < 1 || neighbour.data.priority < 1) return;
    std::swap(row.data.priority, neighbour.data.priority);
    SortAndShow(row.key);
}

void DynamicContentDlg::SortAndShow(int markKey) {
    std::stable_sort(rows_.begin(), rows_.end(),
                     [](const Row& a, const Row& b) { return ComparePackages(a.data, b.data); });
    ShowRows();
    if (markKey == 0) return;
    const auto mark = std::find_if(rows_.begin(), rows_.end(), [markKey](const Row& r) { return r.key == markKey; });
    if (mark == rows_.end()) return;
    QTreeWidgetItem* item = list_->topLevelItem(static_cast<int>(mark - rows_.begin()));
    list_->setCurrentItem(item);
    item->setSelected(true);
    UpdatePriorityButtons();
    list_->scrollToItem(item);
}

void DynamicContentDlg::ShowRows() {
    const QSignalBlocker block(list_);
    for (std::size_t i = 0; i < rows_.size(); ++i) {
        QTreeWidgetItem* item = list_->topLevelItem(static_cast<int>(i));
        if (item == nullptr) continue;
        const Row& row = rows_[i];
        item->setText(kName, QString::fromStdString(row.data.displayName));
        item->setText(kStatus, QString::fromStdString(row.status));
        item->setText(kToDownload, QString::fromStdString(row.toDownload));
        item->setCheckState(kName, row.data.priority > 0 ? Qt::Checked : Qt::Unchecked);
    }
}

int DynamicContentDlg::SelectedIndex() const {
    const QList<QTreeWidgetItem*> selected = list_->selectedItems();
    return selected.isEmpty() ? -1 : list_->indexOfTopLevelItem(selected.front());
}

void DynamicContentDlg::UpdatePriorityButtons() {
    const int index = SelectedIndex();
    const int count = static_cast<int>(rows_.size());
    if (index < 0 || index >= count || rows_[static_cast<std::size_t>(index)].data.priority < 1) {
        prioritize_->setEnabled(false);
        deprioritize_->setEnabled(false);
        return;
    }
    prioritize_->setEnabled(index > 0);
    deprioritize_->setEnabled(index + 1 < count && rows_[static_cast<std::size_t>(index) + 1].data.priority > 0);
}

std::vector<PackageData> DynamicContentDlg::Rows() const {
    std::vector<PackageData> rows;
    rows.reserve(rows_.size());
    for (const Row& row : rows_) rows.push_back(row.data);
    return rows;
}

}  // namespace Vel
