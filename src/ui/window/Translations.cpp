#include "ui/window/Translations.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>
#include <memory>

namespace tarvik {
namespace {

// Qt's own texts for the standard buttons of the dialogs and message boxes, carried in the
// window's files too so that every language of the window has them, with or without Qt's.
[[maybe_unused]] constexpr const char* kStandardButtonTexts[] = {
    QT_TRANSLATE_NOOP("QPlatformTheme", "OK"),     QT_TRANSLATE_NOOP("QPlatformTheme", "&OK"),
    QT_TRANSLATE_NOOP("QPlatformTheme", "Cancel"), QT_TRANSLATE_NOOP("QPlatformTheme", "&Cancel"),
    QT_TRANSLATE_NOOP("QPlatformTheme", "Close"),  QT_TRANSLATE_NOOP("QPlatformTheme", "&Close"),
};

void InstallIfFound(QCoreApplication& app, const QString& name, const QString& folder) {
    auto translator = std::make_unique<QTranslator>(&app);
    if (translator->load(QLocale(), name, QStringLiteral("_"), folder)) {
        // The application, its parent, owns it from here on.
        QCoreApplication::installTranslator(translator.release());
    }
}

}  // namespace

QString TranslationFolder() {
    return QCoreApplication::applicationDirPath() + QStringLiteral("/../share/tarvik/translations");
}

void InstallTranslations(QCoreApplication& app) {
    InstallIfFound(app, QStringLiteral("qtbase"),
                   QLibraryInfo::path(QLibraryInfo::TranslationsPath));
    InstallIfFound(app, QStringLiteral("tarvik"), TranslationFolder());
}

}  // namespace tarvik
