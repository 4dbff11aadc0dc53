#include "ui/window/MainFrame.h"

#include <algorithm>

#include <QApplication>
#include <QCloseEvent>
#include <QDockWidget>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QStatusBar>
#include <QStyle>
#include <QTimer>
#include <QToolBar>
#include <cstdio>
#include <cstdlib>

#include "settings/SettingsStore.h"
#include "ui/model/RowRules.h"
#include "ui/window/AlertList.h"
#include "ui/window/InterfaceFilterBar.h"
#include "ui/window/RowTableModel.h"
#include "ui/window/SystemTray.h"
#include "workers/WorkerHub.h"

namespace tarvik {
namespace {

const char* const kPlacementSection = "Settings";
const char* const kPlacementName = "MainWndPos";

void EndProcessNow() {
    std::fflush(nullptr);
    std::_Exit(EXIT_FAILURE);
}

QString WindowTitle() {
    return QString::fromStdString(DocumentTitle(CSettingsStore::LocalHostName())) +
           QStringLiteral(" - Tarvik");
}

}  // namespace

CMainFrame::CMainFrame(CSettingsStore& settings, CWorkerHub& hub, WorkersFactory workers,
                       TrayFactory tray, QWidget* parent)
    : QMainWindow(parent),
      settings_(settings),
      hub_(hub),
      view_(new CTarvikView(settings, hub, std::move(workers), std::move(tray), this)),
      filterBar_(new CInterfaceFilterBar(settings, this)),
      endProcess_(EndProcessNow) {
    setWindowTitle(WindowTitle());
    setCentralWidget(view_);
    CreateAlertDock();

    QToolBar* bar = addToolBar(tr("Network Interface"));
    bar->setObjectName(QStringLiteral("interfaceBar"));
    bar->addWidget(filterBar_);
    connect(filterBar_, &CInterfaceFilterBar::searchChanged, &view_->Rows(),
            &CRowTableModel::SetFilter);
    CreateStatusBar();
    CreateMenus();

    connect(view_, &CTarvikView::workersStarted, this, &CMainFrame::UpdateStatus);
    connect(view_, &CTarvikView::backendChanged, this, &CMainFrame::UpdateStatus);
    connect(view_, &CTarvikView::restoreRequested, this, &CMainFrame::RestoreFromTray);
    connect(view_, &CTarvikView::aboutRequested, this, &CMainFrame::ShowAbout);
    connect(view_, &CTarvikView::exitRequested, this, &CMainFrame::ExitFromTray);
    resize(DefaultSize());
}

QSize CMainFrame::DefaultSize() const {
    constexpr int kMinimumWidth = 760;
    constexpr int kHeight = 420;
    const QHeaderView* header = view_->horizontalHeader();
    int columns = 0;
    for (int column = 0; column < header->count(); ++column) {
        if (!header->isSectionHidden(column)) {
            columns += std::max(header->sectionSize(column), header->sectionSizeHint(column));
        }
    }
    // The list's frame and vertical scroll bar, and the main window's own margins.
    const int chrome = 2 * view_->frameWidth() + view_->verticalScrollBar()->sizeHint().width() +
                       2 * style()->pixelMetric(QStyle::PM_DefaultFrameWidth) + 8;
    int width = std::max(kMinimumWidth, columns + chrome);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        width = std::min(width, screen->availableGeometry().width());
    }
    return {width, kHeight};
}

void CMainFrame::CreateAlertDock() {
    alertDock_ = new QDockWidget(tr("Scan Alerts"), this);
    alertDock_->setObjectName(QStringLiteral("alertDock"));
    alertDock_->setWidget(new CAlertPanel(&view_->Alerts(), alertDock_));
    addDockWidget(Qt::BottomDockWidgetArea, alertDock_);
    alertDock_->hide();
    alertsAction_ = alertDock_->toggleViewAction();
    alertsAction_->setText(tr("Scan &Alerts"));
    alertsAction_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_L));
    alertsAction_->setStatusTip(tr("Show the scan alerts of this session, newest first"));
}

void CMainFrame::ShowAlerts() {
    alertDock_->show();
    alertDock_->raise();
}

void CMainFrame::UpdateAlertCount() {
    const std::size_t total = view_->Alerts().Total();
    alertCountLabel_->setVisible(total > 0);
    const QString text =
        total == 1 ? tr("1 scan alert") : tr("%1 scan alerts").arg(static_cast<qulonglong>(total));
    alertCountLabel_->setText(QStringLiteral("<a href=\"alerts\">%1</a>").arg(text));
}

CMainFrame::~CMainFrame() {
    RunClosePath();
}

void CMainFrame::CreateMenus() {
    QMenu* file = menuBar()->addMenu(tr("&File"));
    quitAction_ = file->addAction(tr("&Quit"));
    quitAction_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    quitAction_->setStatusTip(tr("Stop monitoring and close Tarvik"));
    // The close box's path: workers stopped, settings, widths and placement kept.
    connect(quitAction_, &QAction::triggered, this, &QWidget::close);

    QMenu* edit = menuBar()->addMenu(tr("&Edit"));
    edit->addAction(view_->CopyRowAction());
    findAction_ = edit->addAction(tr("&Find"));
    findAction_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_F));
    findAction_->setStatusTip(tr("Show only the rows that contain a text"));
    connect(findAction_, &QAction::triggered, this, [this] {
        filterBar_->Search()->setFocus(Qt::ShortcutFocusReason);
        filterBar_->Search()->selectAll();
    });

    QMenu* viewMenu = view_->CreateViewMenu(this);
    viewMenu->addSeparator();
    refreshAction_ = viewMenu->addAction(tr("&Refresh Now"));
    refreshAction_->setShortcut(QKeySequence(Qt::Key_F5));
    refreshAction_->setStatusTip(tr("Read the connection table now"));
    connect(refreshAction_, &QAction::triggered, view_, &CTarvikView::RefreshNow);
    viewMenu->addAction(alertsAction_);
    menuBar()->addMenu(viewMenu);
    menuBar()->addMenu(view_->CreateOptionsMenu(this));
    QMenu* help = menuBar()->addMenu(tr("&Help"));
    connect(help->addAction(tr("&About Tarvik\u2026")), &QAction::triggered, this,
            &CMainFrame::ShowAbout);
}

void CMainFrame::CreateStatusBar() {
    // Permanent widgets, so that menu prompts still show on the left.
    countLabel_ = new QLabel(this);
    backendLabel_ = new QLabel(this);
    backendLabel_->setToolTip(tr("How connections are read"));
    alertCountLabel_ = new QLabel(this);
    alertCountLabel_->setToolTip(tr("Show the scan alerts of this session"));
    connect(alertCountLabel_, &QLabel::linkActivated, this, &CMainFrame::ShowAlerts);
    connect(&view_->Alerts(), &CAlertTableModel::alertAdded, this, &CMainFrame::UpdateAlertCount);
    UpdateAlertCount();
    statusBar()->addPermanentWidget(alertCountLabel_);
    statusBar()->addPermanentWidget(countLabel_);
    statusBar()->addPermanentWidget(backendLabel_);
    statusBar()->showMessage(QString());
    const CRowTableModel* rows = &view_->Rows();
    connect(rows, &CRowTableModel::countsChanged, this, &CMainFrame::UpdateStatus);
    connect(rows, &QAbstractItemModel::modelReset, this, &CMainFrame::UpdateStatus);
    connect(view_, &CTarvikView::liveCountChanged, this, &CMainFrame::UpdateStatus);
    UpdateStatus();
}

QString CMainFrame::CountText() const {
    const int shown = view_->Rows().rowCount();
    // Every live connection, also those the category and interface filters keep from the list.
    const long long live = view_->LiveConnections();
    const int total =
        live >= 0 ? static_cast<int>(std::max<long long>(live, shown)) : view_->Rows().TotalRows();
    QString text = shown == 1 ? tr("1 connection") : tr("%1 connections").arg(shown);
    if (shown != total) {
        text += tr(" of %1").arg(total);
    }
    return text;
}

void CMainFrame::UpdateStatus() {
    countLabel_->setText(CountText());
    backendLabel_->setText(QString::fromStdString(view_->BackendName()));
}

std::unique_ptr<QMessageBox> CMainFrame::CreateAboutBox(QWidget* parent) {
    auto box = std::make_unique<QMessageBox>(parent);
    box->setWindowTitle(tr("About Tarvik"));
    // "Tarvik v2.0": the major and minor numbers of the project's version.
    const QStringList version = QStringLiteral(TARVIK_VERSION).split(QLatin1Char('.'));
    box->setText(QStringLiteral("Tarvik v") + version.mid(0, 2).join(QLatin1Char('.')));
    box->setTextFormat(Qt::RichText);
    box->setInformativeText(
        tr("Shows the machine's TCP connections and listening ports, logs the connections that "
           "end and warns of port scans.") +
        QStringLiteral("<br><br>") + tr("Licence: GPL-3.0-or-later") + QStringLiteral("<br>") +
        QStringLiteral("<a href=\"https://github.com/corvane/tarvik\">"
                       "https://github.com/corvane/tarvik</a>"));
    box->setIconPixmap(QApplication::windowIcon().pixmap(48, 48));
    box->addButton(tr("OK"), QMessageBox::AcceptRole);
    return box;
}

void CMainFrame::ShowAbout() {
    CreateAboutBox(this)->exec();
}

void CMainFrame::ShowWithPlacement() {
    const std::optional<WindowPlacement> stored =
        ParsePlacement(settings_.GetProfileString(kPlacementSection, kPlacementName));
    const bool usable = stored && stored->right > stored->left && stored->bottom > stored->top;
    if (usable) {
        // Stored maximised: open in the normal rectangle, maximise on the next restore.
        setGeometry(stored->left, stored->top, stored->right - stored->left,
                    stored->bottom - stored->top);
        restoreToMaximized_ = (stored->flags & kRestoreToMaximized) != 0;
    }
    show();
}

void CMainFrame::StorePlacement() {
    QRect normal = normalGeometry();
    if (!normal.isValid()) {
        normal = geometry();
    }
    WindowPlacement placement;
    placement.flags = isMaximized() ? kRestoreToMaximized : 0;
    placement.showCommand = isMaximized() ? kShowMaximized : kShowNormal;
    placement.minX = placement.minY = placement.maxX = placement.maxY = -1;
    placement.left = normal.left();
    placement.top = normal.top();
    placement.right = normal.left() + normal.width();
    placement.bottom = normal.top() + normal.height();
    settings_.WriteProfileString(kPlacementSection, kPlacementName, FormatPlacement(placement));
}

void CMainFrame::SetStopBound(std::chrono::milliseconds bound, std::function<void()> endProcess) {
    stopBound_ = bound;
    endProcess_ = std::move(endProcess);
}

void CMainFrame::SaveState() {
    settings_.Save();
    view_->StoreColumnWidths();
    StorePlacement();
}

void CMainFrame::RunClosePath() {
    if (closed_) {
        return;
    }
    closed_ = true;
    view_->QuitWorkers();
    // Everything the user would miss is stored and the window is gone before any wait, so a
    // slow worker can neither lose the settings nor leave a window that ignores its input.
    settings_.Save();
    view_->CloseStep();
    hub_.SetUserNotifier(nullptr);
    StorePlacement();
    hide();
    if (!view_->WaitForWorkers(stopBound_)) {
        std::fprintf(stderr, "Tarvik: the workers did not stop within %lld ms; ending anyway\n",
                     static_cast<long long>(stopBound_.count()));
        endProcess_();
    }
}

void CMainFrame::closeEvent(QCloseEvent* event) {
    RunClosePath();
    event->accept();
    QCoreApplication::quit();
}

void CMainFrame::ExitFromTray() {
    // The full close path: leaving out the settings here would lose the session's changes.
    RunClosePath();
    QCoreApplication::quit();
}

bool CMainFrame::CanHideToTray() const {
    return view_->Tray() != nullptr && view_->Tray()->Shown();
}

void CMainFrame::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange) {
        return;
    }
    const auto* change = static_cast<QWindowStateChangeEvent*>(event);
    if (isMinimized()) {
        // Without a tray icon a hidden window could never come back: minimise normally then.
        if (CanHideToTray()) {
            QTimer::singleShot(0, this, &QWidget::hide);
        }
        return;
    }
    if ((change->oldState() & Qt::WindowMinimized) && restoreToMaximized_) {
        restoreToMaximized_ = false;
        QTimer::singleShot(0, this, &QWidget::showMaximized);
    }
}

void CMainFrame::RestoreFromTray() {
    showNormal();
    raise();
    activateWindow();
}

}  // namespace tarvik
