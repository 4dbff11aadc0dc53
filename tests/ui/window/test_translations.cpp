#include <gtest/gtest.h>

#include <QMenuBar>

#include "support/WindowTestSupport.h"
#include "tracking/ConnectionColumns.h"
#include "ui/model/RowRules.h"
#include "ui/window/MainFrame.h"
#include "ui/window/SystemTray.h"
#include "ui/window/Translations.h"
#include "workers/WorkerHub.h"

namespace tarvik {
namespace {

// Run with LANGUAGE=de, as a German desktop starts the window; the .qm files are the build's.
TEST(Translations, WindowShowsGermanMenusAndHeadings) {
    InstallTranslations(test::TestApp());
    CWorkerHub hub;
    test::TempSettings settings;
    CMainFrame frame(settings.Store(), hub,
                     test::FakeFactory(std::make_shared<test::FakeWorkersLog>()),
                     [] { return std::make_unique<CSystemTray>(nullptr, [] { return false; }); });

    ASSERT_FALSE(frame.menuBar()->actions().isEmpty());
    EXPECT_EQ(frame.menuBar()->actions()[0]->text().toStdString(), "&Datei");

    // The headings come from the core in English; each one is shown in German.
    std::vector<std::string> english = ColumnTitles();
    for (const char* title :
         {kProcessTitle, kSentTitle, kReceivedTitle, kRateTitle, kProtocolTitle}) {
        english.emplace_back(title);
    }
    const QAbstractItemModel* rows = frame.View()->model();
    ASSERT_EQ(rows->columnCount(), static_cast<int>(english.size()));
    for (int column = 0; column < rows->columnCount(); ++column) {
        const QString shown = rows->headerData(column, Qt::Horizontal).toString();
        const std::string& source = english[static_cast<std::size_t>(column)];
        EXPECT_FALSE(shown.isEmpty()) << source;
        // "Hostname" is German too; every other heading reads differently.
        if (source != "Hostname") {
            EXPECT_NE(shown.toStdString(), source);
        }
    }
}

}  // namespace
}  // namespace tarvik
