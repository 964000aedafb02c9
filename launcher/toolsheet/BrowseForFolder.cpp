#include "launcher/toolsheet/BrowseForFolder.h"

#include <filesystem>
#include <system_error>

#include <QDialogButtonBox>
#include <QPushButton>
#include <QTimer>

#include "foundation/files/Paths.h"

namespace Vel {
namespace {

// The folder itself when it exists, else its nearest existing ancestor; "" for an empty text.
QString ExistingStart(const std::string& start) {
    if (start.empty()) return {};
    std::error_code ec;
    std::filesystem::path p = std::filesystem::path(ToNativePath(start)).lexically_normal();
    while (!std::filesystem::is_directory(p, ec) && p.has_parent_path() && p != p.parent_path()) p = p.parent_path();
    return QString::fromStdString(p.string());
}

}  // namespace

FolderPickerDialog::FolderPickerDialog(QWidget* owner, const QString& title, const std::string& start,
                                       FolderValidator validator)
    : QFileDialog(owner, title, ExistingStart(start)), validator_(std::move(validator)) {
    setOption(QFileDialog::DontUseNativeDialog, true);
    setOption(QFileDialog::ShowDirsOnly, true);
    setFileMode(QFileDialog::Directory);
    setAcceptMode(QFileDialog::AcceptOpen);
    if (!validator_) return;
    // Qt re-evaluates its own button on these changes first; ours runs after it.
    const auto update = [this] {
        try {
            UpdateOk();
        } catch (...) {
        }
    };
    connect(this, &QFileDialog::currentChanged, this, update);
    connect(this, &QFileDialog::directoryEntered, this, update);
    // Once the dialog's own start-up has settled (the first selection it makes).
    QTimer::singleShot(0, this, update);
    UpdateOk();
}

std::string FolderPickerDialog::CandidateFolder() const {
    const QStringList selected = selectedFiles();
    const QString path = selected.isEmpty() ? directory().absolutePath() : selected.front();
    return WithTrailingSlash(path.toStdString());
}

QPushButton* FolderPickerDialog::OkButton() const {
    const auto* box = findChild<QDialogButtonBox*>();
    return box != nullptr ? box->button(QDialogButtonBox::Open) : nullptr;
}

void FolderPickerDialog::UpdateOk() {
    if (!validator_) return;
    if (QPushButton* ok = OkButton()) ok->setEnabled(validator_(CandidateFolder()));
}

void FolderPickerDialog::accept() {
    const std::string candidate = CandidateFolder();
    if (validator_ && !validator_(candidate)) return;
    chosen_ = candidate;
    QFileDialog::accept();
}

bool BrowseForFolder(QWidget* owner, const std::string& title, std::string& folder, FolderValidator validator) {
    FolderPickerDialog picker(owner, QString::fromStdString(title), folder, std::move(validator));
    if (picker.exec() != QDialog::Accepted || picker.ChosenFolder().empty()) return false;
    folder = picker.ChosenFolder();
    return true;
}

}  // namespace Vel
