#include "ui/window/AlertList.h"

#include <QCoreApplication>
#include <QHeaderView>
#include <QLabel>
#include <QTableView>
#include <QVBoxLayout>

#include "acquisition/ConnectionRecord.h"
#include "workers/WorkerHub.h"

namespace tarvik {

CAlertTableModel::CAlertTableModel(std::size_t capacity, QObject* parent)
    : QAbstractTableModel(parent), capacity_(capacity < 1 ? 1 : capacity) {}

void CAlertTableModel::Add(ScanAlertEvent alert) {
    if (alerts_.size() == capacity_) {
        const int last = static_cast<int>(alerts_.size()) - 1;
        beginRemoveRows({}, last, last);
        alerts_.pop_back();
        ++dropped_;
        endRemoveRows();
    }
    beginInsertRows({}, 0, 0);
    alerts_.push_front(std::move(alert));
    endInsertRows();
    emit alertAdded();
}

int CAlertTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(alerts_.size());
}

int CAlertTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kAlertColumns;
}

QString CAlertTableModel::PortsText(const ScanAlertEvent& alert) {
    QStringList ports;
    for (int port : alert.localPorts) {
        ports << QString::number(port);
    }
    return ports.join(QStringLiteral(", "));
}

QVariant CAlertTableModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount() ||
        (role != Qt::DisplayRole && role != Qt::ToolTipRole)) {
        return {};
    }
    const ScanAlertEvent& alert = At(index.row());
    switch (index.column()) {
        case kTimeColumn:
            return QString::fromStdString(TimeText(alert.time));
        case kHostColumn:
            return QString::fromStdString(alert.remoteAddress);
        case kPortsColumn:
            return PortsText(alert);
        case kKindColumn:
            return QString::fromStdString(alert.kind);
        default:
            return {};
    }
}

QVariant CAlertTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) {
        return QAbstractTableModel::headerData(section, orientation, role);
    }
    switch (section) {
        case kTimeColumn:
            return tr("Time");
        case kHostColumn:
            return tr("Host");
        case kPortsColumn:
            return tr("Ports");
        case kKindColumn:
            return tr("Kind");
        default:
            return {};
    }
}

CAlertReceiver::CAlertReceiver(CAlertTableModel* alerts)
    : CWorker("window alerts"), alerts_(alerts) {
    Subscribe<ScanAlertEvent>();
}

CAlertReceiver::~CAlertReceiver() {
    Stop();
}

void CAlertReceiver::Handle(std::variant<ScanAlertEvent>& message) {
    // Queued to the GUI thread, where alone the list may be looked at: it may be gone by then
    // (a close whose wait for the workers ran out). The scan watcher never waits for the window.
    QPointer<CAlertTableModel> alerts = alerts_;
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [alerts, alert = std::move(std::get<ScanAlertEvent>(message))]() mutable {
            if (alerts) {
                alerts->Add(std::move(alert));
            }
        },
        Qt::QueuedConnection);
}

namespace {

class CWorkersWithAlerts : public IWorkers {
public:
    CWorkersWithAlerts(std::unique_ptr<IWorkers> inner, CWorkerHub& hub, CAlertTableModel* alerts)
        : inner_(std::move(inner)), hub_(hub), receiver_(std::make_unique<CAlertReceiver>(alerts)) {
        receiver_->Start();
        hub_.Register(receiver_.get());
    }
    void Quit() override { inner_->Quit(); }
    void Join() override {
        // Once the workers have ended nothing publishes; the list must not keep the receiver.
        inner_->Join();
        hub_.Clear();
        receiver_->PostQuit();
        receiver_->Join();
    }
    std::string BackendName() const override { return inner_->BackendName(); }
    void SetStatusListener(std::function<void()> changed) override {
        inner_->SetStatusListener(std::move(changed));
    }
    std::string SettingsNote() const override { return inner_->SettingsNote(); }

private:
    std::unique_ptr<IWorkers> inner_;
    CWorkerHub& hub_;
    std::unique_ptr<CAlertReceiver> receiver_;
};

}  // namespace

std::unique_ptr<IWorkers> WithAlertReceiver(std::unique_ptr<IWorkers> workers, CWorkerHub& hub,
                                            CAlertTableModel* alerts) {
    if (!workers) {
        return workers;
    }
    return std::make_unique<CWorkersWithAlerts>(std::move(workers), hub, alerts);
}

CAlertPanel::CAlertPanel(CAlertTableModel* alerts, QWidget* parent)
    : QWidget(parent), alerts_(alerts), dropped_(new QLabel(this)), table_(new QTableView(this)) {
    table_->setModel(alerts);
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->verticalHeader()->hide();
    table_->horizontalHeader()->setStretchLastSection(true);
    table_->setWordWrap(false);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(dropped_);
    layout->addWidget(table_);
    connect(alerts, &CAlertTableModel::alertAdded, this, &CAlertPanel::UpdateDropped);
    UpdateDropped();
}

void CAlertPanel::UpdateDropped() {
    const std::size_t dropped = alerts_->Dropped();
    dropped_->setVisible(dropped > 0);
    dropped_->setText(dropped == 1 ? tr("1 older alert was dropped from this list.")
                                   : tr("%1 older alerts were dropped from this list.")
                                         .arg(static_cast<qulonglong>(dropped)));
}

}  // namespace tarvik
