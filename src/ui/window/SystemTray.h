#pragma once

#include <QIcon>
#include <QObject>
#include <QPointer>
#include <QString>
#include <functional>
#include <memory>

#include "workers/WorkerHub.h"

class QMenu;
class QMessageBox;
class QSystemTrayIcon;

namespace tarvik {

// The notification-area icon: a left click asks for the main window, its menu offers "&About"
// and "E&xit", and it shows the scan alerts' balloons.
class CSystemTray : public QObject {
    Q_OBJECT
public:
    using Availability = std::function<bool()>;

    // `available` stands in for the desktop's answer in tests.
    explicit CSystemTray(QObject* parent = nullptr, Availability available = {});
    ~CSystemTray() override;

    // Adds the icon; false where the desktop has no notification area (nothing is shown then).
    bool Create(const QString& tip, const QIcon& icon);
    // Takes the icon off the notification area, once.
    void RemoveIcon();
    bool Shown() const;
    QString ToolTip() const;
    QMenu* Menu() const { return menu_.get(); }

    // GUI thread only.
    bool ShowBalloon(const QString& title, const QString& text, int timeoutSeconds);

    // Hands balloons from any thread to this tray on the GUI thread.
    std::shared_ptr<IBalloonSink> BalloonSink();

    static QString CutTip(const QString& tip);

signals:
    void restoreRequested();
    void aboutRequested();
    void exitRequested();

private:
    Availability available_;
    std::unique_ptr<QMenu> menu_;
    QSystemTrayIcon* icon_ = nullptr;  // child of this object
    bool removed_ = true;
};

// Shows the message that a worker hands to the user, on the GUI thread, without blocking the
// worker. Messages that come while its box is open join that box, so that a fault met by several
// workers at once is one notice, not a stack of them; past kMaxShown only their number is added.
class CMessageBoxNotifier : public IUserNotifier {
public:
    static constexpr int kMaxShown = 20;

    explicit CMessageBoxNotifier(QWidget* parent);
    void ShowMessage(const std::string& text) override;

private:
    // The open box and what it holds; GUI thread only.
    struct OpenBox {
        QPointer<QMessageBox> box;
        int shown = 0;
        int more = 0;
    };

    QPointer<QWidget> parent_;
    std::shared_ptr<OpenBox> open_ = std::make_shared<OpenBox>();
};

}  // namespace tarvik
