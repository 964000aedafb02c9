#include "launcher/dialogs/QtTranslations.h"

#include "foundation/text/LanguageTable.h"

#include <QCoreApplication>
#include <QDir>
#include <QLibraryInfo>
#include <QPointer>
#include <QTranslator>

namespace Vel {
namespace {

struct Installed {
    QPointer<QTranslator> translator;  // owned by the application
    std::string file;
};

Installed& Current() {
    static Installed installed;
    return installed;
}

}  // namespace

std::string QtTranslationsFile(std::uint32_t lcid) {
    const LanguageInfo language = FindLanguageByLcid(lcid);
    if (!HasUiResources(language) || language.id == 1) return {};
    const QString code = QString::fromStdString(language.twoLetterCode).toLower();
    return QDir(QLibraryInfo::path(QLibraryInfo::TranslationsPath))
        .filePath(QStringLiteral("qtbase_") + code + QStringLiteral(".qm"))
        .toStdString();
}

bool ApplyQtTranslations(std::uint32_t lcid) {
    auto* app = QCoreApplication::instance();
    if (app == nullptr) return false;
    Installed& current = Current();
    const std::string file = QtTranslationsFile(lcid);
    if (current.translator && current.file == file) return true;

    if (current.translator) {
        QCoreApplication::removeTranslator(current.translator);
        delete current.translator;
    }
    current = {};
    if (file.empty()) return true;

    auto* translator = new QTranslator(app);
    if (!translator->load(QString::fromStdString(file))) {
        delete translator;
        return false;
    }
    QCoreApplication::installTranslator(translator);
    current.translator = translator;
    current.file = file;
    return true;
}

}  // namespace Vel
