#include "ui/dialogs/ScanOptionsDlg.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShowEvent>
#include <QSpinBox>
#include <QTabWidget>
#include <QVBoxLayout>

#include "scan/ScanEvents.h"
#include "settings/SettingsStore.h"
#include "ui/dialogs/EntryDialogs.h"
#include "ui/dialogs/ListEditor.h"
#include "ui/dialogs/OptionsCommon.h"
#include "workers/WorkerHub.h"

namespace tarvik {
namespace {

const char* const kListeningExplanation = QT_TRANSLATE_NOOP(
    "tarvik::CScanOptionsDlg",
    "Tarvik has the ability to listen for connections on additional unused ports.  This can help "
    "to detect scanners more quickly.  Please note that when Tarvik is listening on these ports, "
    "other applications cannot.  Be sure to start any server applications before activating this "
    "feature and deactivate this feature before starting any new server applications.");

QLabel* WrappedLabel(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setWordWrap(true);
    return label;
}

// The platform's default up-down range is too small for a threshold; any count the edit can
// hold is allowed.
constexpr int kMaxThreshold = 99999;

// A spin box puts its last value back as soon as an emptied field is left or Enter is pressed,
// before OK could tell that the user emptied it; this one keeps the field empty, so that OK can
// say so instead of storing a value the user removed.
class ThresholdBox : public QSpinBox {
public:
    using QSpinBox::QSpinBox;

protected:
    void keyPressEvent(QKeyEvent* event) override {
        const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
        const bool empty = cleanText().isEmpty();
        QSpinBox::keyPressEvent(event);
        if (enter && empty) {
            lineEdit()->clear();
        }
    }
    void focusOutEvent(QFocusEvent* event) override {
        const bool empty = cleanText().isEmpty();
        QSpinBox::focusOutEvent(event);
        if (empty) {
            lineEdit()->clear();
        }
    }
};

}  // namespace

CScanOptionsDlg::CScanOptionsDlg(CSettingsStore& settings, CWorkerHub& hub, QWidget* parent)
    : QDialog(parent), settings_(settings), hub_(hub) {
    setWindowTitle(tr("Port Scan Detection Options"));

    ui_.enabled = new QCheckBox(tr("Enable Port Scan Detection"), this);
    ui_.tabs = new QTabWidget(this);
    ui_.detectionPage = BuildDetectionPage();
    ui_.notificationPage = BuildNotificationPage();
    ui_.tabs->addTab(ui_.detectionPage, tr("Detection Options"));
    ui_.tabs->addTab(ui_.notificationPage, tr("Attack Notification and Response"));

    ui_.buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    ui_.buttons->button(QDialogButtonBox::Ok)->setDefault(true);
    connect(ui_.buttons, &QDialogButtonBox::accepted, this, &CScanOptionsDlg::accept);
    connect(ui_.buttons, &QDialogButtonBox::rejected, this, &CScanOptionsDlg::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(ui_.enabled);
    layout->addWidget(ui_.tabs, 1);
    layout->addWidget(ui_.buttons);

    connect(ui_.enabled, &QCheckBox::clicked, this, &CScanOptionsDlg::ApplyMasterRule);
    connect(ui_.listen, &QCheckBox::clicked, this, &CScanOptionsDlg::ApplyListenRule);
    connect(ui_.emailAlert, &QCheckBox::clicked, this, &CScanOptionsDlg::ApplyEmailRule);
    ApplyEmailRule();
}

QWidget* CScanOptionsDlg::BuildDetectionPage() {
    auto* page = new QWidget;

    auto* detection = new QGroupBox(page);
    ui_.threshold = new ThresholdBox(detection);
    ui_.threshold->setRange(0, kMaxThreshold);
    ui_.threshold->setWrapping(true);
    auto* thresholdRow = new QHBoxLayout;
    thresholdRow->addWidget(new QLabel(tr("Trigger an alert after"), detection));
    thresholdRow->addWidget(ui_.threshold);
    thresholdRow->addWidget(new QLabel(tr("unique connections."), detection));
    thresholdRow->addStretch();

    ui_.ignoreHosts = new CListEditor(std::make_unique<CIPAddressEntryDlg>(),
                                      DuplicateRule::SameText, ListOrder::AsAdded, detection);
    auto* hostsRow = new QHBoxLayout;
    hostsRow->addWidget(
        WrappedLabel(tr("Add any hosts which may trigger a scan alert but you know to "
                        "be friendly.  Removing the default addresses is not "
                        "recommended."),
                     detection),
        1);
    hostsRow->addWidget(ui_.ignoreHosts, 1);

    auto* detectionLayout = new QVBoxLayout(detection);
    detectionLayout->addLayout(thresholdRow);
    detectionLayout->addWidget(
        new QLabel(tr("Ignore connections from the following IP addresses:"), detection));
    detectionLayout->addLayout(hostsRow);

    auto* listening = new QGroupBox(page);
    ui_.listen = new QCheckBox(tr("Listen for connections on additional ports"), listening);
    ui_.listenPorts = new CListEditor(std::make_unique<CPortEntryDlg>(), DuplicateRule::SameNumber,
                                      ListOrder::AsAdded, listening);
    auto* portsRow = new QHBoxLayout;
    portsRow->addWidget(
        WrappedLabel(tr("Add to or remove from the list of ports Tarvik will listen "
                        "on.  The default settings should be sufficient for most "
                        "purposes."),
                     listening),
        2);
    portsRow->addWidget(ui_.listenPorts, 1);

    auto* listeningLayout = new QVBoxLayout(listening);
    listeningLayout->addWidget(WrappedLabel(tr(kListeningExplanation), listening));
    listeningLayout->addWidget(ui_.listen);
    listeningLayout->addLayout(portsRow);

    auto* layout = new QVBoxLayout(page);
    layout->addWidget(detection);
    layout->addWidget(listening);
    return page;
}

QWidget* CScanOptionsDlg::BuildNotificationPage() {
    auto* page = new QWidget;
    ui_.eventLog = new QCheckBox(tr("Log to the system log"), page);
    ui_.emailAlert = new QCheckBox(tr("Send Alert Email"), page);
    ui_.recipients = new CListEditor(std::make_unique<CEmailEntryDlg>(),
                                     DuplicateRule::SameTextIgnoringCase, ListOrder::AsAdded, page);
    ui_.mailHost = new QLineEdit(page);

    auto* layout = new QGridLayout(page);
    layout->setColumnMinimumWidth(0, 20);
    layout->addWidget(ui_.eventLog, 0, 0, 1, 3);
    layout->addWidget(WrappedLabel(tr("When selected, Tarvik will log all suspected "
                                      "scan attempts to the system log."),
                                   page),
                      1, 1, 1, 2);
    layout->setRowMinimumHeight(2, 12);
    layout->addWidget(ui_.emailAlert, 3, 0, 1, 3);
    layout->addWidget(
        new QLabel(tr("An alert email will be sent to the recipients specified:"), page), 4, 1, 1,
        2);
    layout->addWidget(ui_.recipients, 5, 2);
    layout->addWidget(
        new QLabel(tr("Outgoing Mail Server (SMTP) to use to send the alert email:"), page), 6, 1,
        1, 2);
    layout->addWidget(ui_.mailHost, 7, 2);
    layout->setColumnMinimumWidth(1, 20);
    layout->setColumnStretch(2, 1);
    layout->setRowStretch(8, 1);
    return page;
}

void CScanOptionsDlg::showEvent(QShowEvent* event) {
    if (!event->spontaneous()) {
        Load();
    }
    QDialog::showEvent(event);
}

void CScanOptionsDlg::Load() {
    ui_.tabs->setCurrentIndex(0);
    ui_.threshold->setValue(settings_.GetThreshold());
    ui_.ignoreHosts->SetEntries(ToStringList(settings_.GetIgnoreHosts()));
    ui_.listen->setChecked(settings_.GetListenEnabled() != 0);
    ui_.listenPorts->SetEntries(ToStringList(settings_.GetListenPorts()));
    ui_.eventLog->setChecked(settings_.GetEventLog() != 0);
    ui_.emailAlert->setChecked(settings_.GetEmailAlert() != 0);
    ui_.mailHost->setText(QString::fromStdString(settings_.GetMailHost()));
    ui_.recipients->SetEntries(ToStringList(settings_.GetNotificationAddresses()));
    ui_.enabled->setChecked(settings_.GetScanEnabled() != 0);
    ApplyMasterRule();
}

void CScanOptionsDlg::Store() {
    // A spin box always holds a number unless it was emptied; an empty box keeps the old value.
    bool isInteger = false;
    const int threshold = ui_.threshold->cleanText().toInt(&isInteger);
    if (isInteger) {
        settings_.SetThreshold(threshold);
    } else {
        showMessage_(this, tr("Please enter an integer."));
        ui_.tabs->setCurrentWidget(ui_.detectionPage);
        ui_.threshold->setFocus();
    }
    settings_.SetIgnoreHosts(ToTextList(ui_.ignoreHosts->Entries()));
    settings_.SetListenEnabled(ui_.listen->isChecked() ? 1 : 0);
    settings_.SetListenPorts(ToPortList(ui_.listenPorts->Entries()));

    settings_.SetEventLog(ui_.eventLog->isChecked() ? 1 : 0);
    settings_.SetEmailAlert(ui_.emailAlert->isChecked() ? 1 : 0);
    settings_.SetMailHost(ui_.mailHost->text().toStdString());
    settings_.SetNotificationAddresses(ToTextList(ui_.recipients->Entries()));

    settings_.SetScanEnabled(ui_.enabled->isChecked() ? 1 : 0);
}

void CScanOptionsDlg::accept() {
    Store();
    // Sent even when nothing changed: the scan watcher restarts the bait-port listener on it.
    hub_.Publish(ScanSettingsChanged{});
    QDialog::accept();
    SaveOrReport(settings_, parentWidget(), showMessage_);
}

void CScanOptionsDlg::ApplyMasterRule() {
    const bool on = ui_.enabled->isChecked();
    ui_.tabs->setEnabled(on);
    ui_.detectionPage->setEnabled(on);
    ui_.notificationPage->setEnabled(on);
    // Each control is set as well, so that enabling also overrides the two rules below.
    for (QWidget* control :
         {static_cast<QWidget*>(ui_.threshold), static_cast<QWidget*>(ui_.ignoreHosts),
          static_cast<QWidget*>(ui_.listen), static_cast<QWidget*>(ui_.listenPorts),
          static_cast<QWidget*>(ui_.eventLog), static_cast<QWidget*>(ui_.emailAlert),
          static_cast<QWidget*>(ui_.recipients), static_cast<QWidget*>(ui_.mailHost)}) {
        control->setEnabled(on);
    }
}

void CScanOptionsDlg::ApplyListenRule() {
    ui_.listenPorts->setEnabled(ui_.listen->isChecked());
}

void CScanOptionsDlg::ApplyEmailRule() {
    const bool on = ui_.emailAlert->isChecked();
    ui_.recipients->setEnabled(on);
    ui_.mailHost->setEnabled(on);
}

}  // namespace tarvik
