#pragma once

#include <QMainWindow>
#include <memory>

#include "ui/window/TarvikView.h"

class QMessageBox;

namespace tarvik {

class CSettingsStore;
class CInterfaceFilterBar;

// The main window: the interface filter bar as a tool bar, the connection list, a status bar
// for menu prompts, and the close path that stops the workers and keeps the settings.
class CMainFrame : public QMainWindow {
    Q_OBJECT
public:
    CMainFrame(CSettingsStore& settings, WorkersFactory workers, TrayFactory tray = {},
               QWidget* parent = nullptr);
    ~CMainFrame() override;

    // Shows the window with the stored placement (ignored unless it holds ten numbers).
    void ShowWithPlacement();
    // Quits the workers, saves the settings, removes the tray icon, stores the column widths
    // and the placement. Runs once, whichever way the program ends.
    void RunClosePath();
    bool Closed() const { return closed_; }

    // Left click on the tray icon: the window in its normal size, on top.
    void RestoreFromTray();

    CTarvikView* View() const { return view_; }
    CInterfaceFilterBar* FilterBar() const { return filterBar_; }

    static std::unique_ptr<QMessageBox> CreateAboutBox(QWidget* parent);

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void ShowAbout();
    void ExitFromTray();
    void StorePlacement();
    bool CanHideToTray() const;

    CSettingsStore& settings_;
    CTarvikView* view_;               // central widget, owned by the window
    CInterfaceFilterBar* filterBar_;  // in the tool bar, owned by the window
    bool closed_ = false;
    bool restoreToMaximized_ = false;
};

}  // namespace tarvik
