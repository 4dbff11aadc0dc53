#include "app/ServiceEvents.h"

namespace tarvik {

CServiceListTap::CServiceListTap(IConnectionList& inner, CMonitorCounters& counters,
                                 CEventStream* events, Clock clock)
    : inner_(inner), counters_(counters), events_(events), clock_(std::move(clock)) {}

void CServiceListTap::Apply(std::vector<RowOp> ops) {
    for (const RowOp& op : ops) {
        Note(op);
    }
    inner_.Apply(std::move(ops));
}

void CServiceListTap::Note(const RowOp& op) {
    const CConnectionRecord& record = op.record;
    if (op.kind == RowOp::Kind::Delete) {
        seen_.erase(record.id);
        counters_.AddEnded();
        if (events_ != nullptr) {
            CConnectionRecord ended = record;
            const std::time_t now = clock_();
            ended.closeTime = now;
            events_->Offer(ConnectionEventLine("close", ended, now));
        }
        return;
    }
    if (seen_.insert(record.id).second && events_ != nullptr) {
        events_->Offer(ConnectionEventLine("open", record, clock_()));
    }
}

CAlertEventWorker::CAlertEventWorker(CMonitorCounters& counters, CEventStream* events)
    : CWorkerThread("alert events"), counters_(counters), events_(events) {
    On(kMsgScanAlerted, [this](Message& message) {
        const std::unique_ptr<ScanAlertEvent> alert = message.wParam.TakeAlert();
        if (!alert) {
            return;
        }
        counters_.AddAlert();
        if (events_ != nullptr) {
            events_->Offer(AlertEventLine(*alert));
        }
    });
}

CAlertEventWorker::~CAlertEventWorker() {
    Stop();
}

}  // namespace tarvik
