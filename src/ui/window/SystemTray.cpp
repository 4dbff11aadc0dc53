#include "ui/window/SystemTray.h"

#include <QAction>
#include <QCoreApplication>
#include <QMenu>
#include <QMessageBox>
#include <QSystemTrayIcon>

namespace tarvik {
namespace {

constexpr int kMaxTipLength = 63;

class CQueuedBalloonSink : public IBalloonSink {
public:
    explicit CQueuedBalloonSink(CSystemTray* tray) : tray_(tray) {}

    bool ShowBalloon(const std::string& title, const std::string& text,
                     int timeoutSeconds) override {
        // The tray is only touched on its own thread; a tray gone by then drops the call.
        QPointer<CSystemTray> tray = tray_;
        return QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [tray, title = QString::fromStdString(title), text = QString::fromStdString(text),
             timeoutSeconds] {
                if (tray) {
                    tray->ShowBalloon(title, text, timeoutSeconds);
                }
            },
            Qt::QueuedConnection);
    }

private:
    QPointer<CSystemTray> tray_;
};

}  // namespace

CSystemTray::CSystemTray(QObject* parent, Availability available)
    : QObject(parent),
      available_(available ? std::move(available) : &QSystemTrayIcon::isSystemTrayAvailable) {}

CSystemTray::~CSystemTray() {
    RemoveIcon();
}

QString CSystemTray::CutTip(const QString& tip) {
    return tip.left(kMaxTipLength);
}

bool CSystemTray::Create(const QString& tip, const QIcon& icon) {
    if (!available_()) {
        return false;
    }
    menu_ = std::make_unique<QMenu>();
    connect(menu_->addAction(tr("&About")), &QAction::triggered, this,
            &CSystemTray::aboutRequested);
    connect(menu_->addAction(tr("E&xit")), &QAction::triggered, this, &CSystemTray::exitRequested);

    icon_ = new QSystemTrayIcon(icon, this);
    icon_->setToolTip(CutTip(tip));
    icon_->setContextMenu(menu_.get());
    connect(icon_, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger) {
                    emit restoreRequested();
                }
            });
    icon_->show();
    removed_ = false;
    return true;
}

void CSystemTray::RemoveIcon() {
    if (icon_ == nullptr || removed_) {
        return;
    }
    icon_->hide();
    removed_ = true;
}

bool CSystemTray::Shown() const {
    return icon_ != nullptr && !removed_;
}

QString CSystemTray::ToolTip() const {
    return icon_ != nullptr ? icon_->toolTip() : QString();
}

bool CSystemTray::ShowBalloon(const QString& title, const QString& text, int timeoutSeconds) {
    if (!Shown() || !QSystemTrayIcon::supportsMessages()) {
        return false;
    }
    icon_->showMessage(title, text, QSystemTrayIcon::NoIcon, timeoutSeconds * 1000);
    return true;
}

std::shared_ptr<IBalloonSink> CSystemTray::BalloonSink() {
    return std::make_shared<CQueuedBalloonSink>(this);
}

CMessageBoxNotifier::CMessageBoxNotifier(QWidget* parent) : parent_(parent) {}

void CMessageBoxNotifier::ShowMessage(const std::string& text) {
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [parent = parent_, open = open_, text = QString::fromStdString(text)] {
            if (open->box && open->box->isVisible()) {
                if (open->shown < kMaxShown) {
                    open->box->setText(open->box->text() + QStringLiteral("\n\n") + text);
                    ++open->shown;
                } else {
                    ++open->more;
                    open->box->setInformativeText(
                        open->more == 1 ? QCoreApplication::translate("tarvik::CSystemTray",
                                                                      "1 more message not shown.")
                                        : QCoreApplication::translate("tarvik::CSystemTray",
                                                                      "%1 more messages not shown.")
                                              .arg(open->more));
                }
                return;
            }
            // Modeless, so that neither the worker nor the GUI thread waits on the user.
            auto* box = new QMessageBox(QMessageBox::Warning, QStringLiteral("Tarvik"), text,
                                        QMessageBox::Ok, parent.data());
            box->setTextFormat(Qt::PlainText);  // paths and peer texts are not markup
            box->setAttribute(Qt::WA_DeleteOnClose);
            *open = {box, 1, 0};
            box->show();
        },
        Qt::QueuedConnection);
}

}  // namespace tarvik
