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

// The first of the user's languages that is English (the source texts) or has a file wins, so
// that LANGUAGE=en:de keeps English rather than taking the first file found.
void InstallIfFound(QCoreApplication& app, const QString& name, const QString& folder) {
    for (const QString& language : QLocale().uiLanguages()) {
        const QLocale locale(language);
        if (locale.language() == QLocale::English) {
            return;
        }
        auto translator = std::make_unique<QTranslator>(&app);
        // "tarvik_de_AT" falls back to "tarvik_de" by itself.
        if (translator->load(name + QLatin1Char('_') + locale.name(), folder)) {
            // The application, its parent, owns it from here on.
            QCoreApplication::installTranslator(translator.release());
            return;
        }
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
