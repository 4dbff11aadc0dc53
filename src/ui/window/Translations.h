#pragma once

#include <QString>

class QCoreApplication;

namespace tarvik {

// The folder with the window's .qm files: share/tarvik/translations beside the program's bin
// folder, which is /usr/share/tarvik/translations when installed and build/share/... in a build.
QString TranslationFolder();

// Loads the window's translations, and Qt's own for its standard buttons, for the user's
// languages (LANGUAGE first, then LC_ALL, LC_MESSAGES and LANG). English, the source language,
// needs none; a language without a file leaves the texts in English.
void InstallTranslations(QCoreApplication& app);

}  // namespace tarvik
