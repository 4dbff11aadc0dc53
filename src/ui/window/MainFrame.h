#pragma once

#include <QMainWindow>
#include <chrono>
#include <functional>
#include <memory>

#include "ui/window/TarvikView.h"

class QDockWidget;
class QLabel;
class QMessageBox;

namespace tarvik {

class CSettingsStore;
class CWorkerHub;
class CInterfaceFilterBar;

// The main window: the interface filter bar as a tool bar, the connection list, a status bar
// for menu prompts, and the close path that stops the workers and keeps the settings.
class CMainFrame : public QMainWindow {
    Q_OBJECT
public:
    CMainFrame(CSettingsStore& settings, CWorkerHub& hub, WorkersFactory workers,
               TrayFactory tray = {}, QWidget* parent = nullptr);
    ~CMainFrame() override;

    // Shows the window with the stored placement (ignored unless it holds ten numbers).
    void ShowWithPlacement();
    // Quits the workers, saves the settings, removes the tray icon, stores the column widths
    // and the placement, hides the window, and only then waits for the workers, at most the
    // stop bound. Workers still running after it are reported on standard error and the
    // process ends (the settings are safe by then). Runs once, whichever way the program ends.
    void RunClosePath();
    bool Closed() const { return closed_; }
    // Saves the settings, column widths and placement and leaves everything running: a session
    // that asks to keep its data may still be cancelled.
    void SaveState();

    static constexpr std::chrono::milliseconds kStopBound{3000};
    // The wait of the close path and what ends the process after it (tests keep theirs alive).
    void SetStopBound(std::chrono::milliseconds bound, std::function<void()> endProcess);

    // Left click on the tray icon: the window in its normal size, on top.
    void RestoreFromTray();

    CTarvikView* View() const { return view_; }
    CInterfaceFilterBar* FilterBar() const { return filterBar_; }

    static std::unique_ptr<QMessageBox> CreateAboutBox(QWidget* parent);

    // "N connections", with "of M" while filters or the search hide rows.
    QString CountText() const;
    QLabel* CountLabel() const { return countLabel_; }
    QLabel* BackendLabel() const { return backendLabel_; }
    // The session's scan alerts, in a dock that the View menu and the status bar open.
    QDockWidget* AlertDock() const { return alertDock_; }
    QLabel* AlertCountLabel() const { return alertCountLabel_; }
    QAction* AlertsAction() const { return alertsAction_; }
    void ShowAlerts();
    // Wide enough for every shown column at its width, within the screen.
    QSize DefaultSize() const;
    QAction* QuitAction() const { return quitAction_; }
    QAction* RefreshAction() const { return refreshAction_; }
    QAction* FindAction() const { return findAction_; }

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void ShowAbout();
    void ExitFromTray();
    void StorePlacement();
    bool CanHideToTray() const;
    void CreateMenus();
    void CreateStatusBar();
    void UpdateStatus();
    void CreateAlertDock();
    void UpdateAlertCount();

    CSettingsStore& settings_;
    CWorkerHub& hub_;
    CTarvikView* view_;                  // central widget, owned by the window
    CInterfaceFilterBar* filterBar_;     // in the tool bar, owned by the window
    QLabel* countLabel_ = nullptr;       // in the status bar
    QLabel* backendLabel_ = nullptr;     // in the status bar
    QLabel* alertCountLabel_ = nullptr;  // in the status bar
    QDockWidget* alertDock_ = nullptr;
    QAction* alertsAction_ = nullptr;
    QAction* quitAction_ = nullptr;
    QAction* refreshAction_ = nullptr;
    QAction* findAction_ = nullptr;
    bool closed_ = false;
    bool restoreToMaximized_ = false;
    std::chrono::milliseconds stopBound_ = kStopBound;
    std::function<void()> endProcess_;
};

}  // namespace tarvik
