#include "app/ServiceEvents.h"

namespace tarvik {

void CEventOutlets::Offer(std::string line) const {
    if (file_ != nullptr) {
        file_->Offer(stream_ != nullptr || server_ != nullptr ? line : std::move(line));
    }
    if (server_ != nullptr) {
        server_->Publish(stream_ != nullptr ? line : std::move(line));
    }
    if (stream_ != nullptr) {
        stream_->Offer(std::move(line));
    }
}

CServiceListTap::CServiceListTap(IConnectionList& inner, CMonitorCounters& counters,
                                 CEventOutlets events, Clock clock)
    : inner_(inner), counters_(counters), events_(events), clock_(std::move(clock)) {}

void CServiceListTap::Apply(std::vector<RowOp> ops) {
    inner_.Apply(std::move(ops));
}

void CServiceListTap::Opened(const CConnectionRecord& record) {
    inner_.Opened(record);
    if (events_.Any()) {
        // When the kernel told of it, not when the event was made: an open never follows its
        // close.
        events_.Offer(
            ConnectionEventLine("open", record, record.openTime != 0 ? record.openTime : clock_()));
    }
}

void CServiceListTap::Ended(const CConnectionRecord& record) {
    inner_.Ended(record);
    counters_.AddEnded(record);
    if (events_.Any()) {
        events_.Offer(ConnectionEventLine("close", record, record.closeTime));
    }
}

void CServiceListTap::Updated(const CConnectionRecord& record) {
    inner_.Updated(record);
    if (events_.Any()) {
        events_.Offer(ConnectionEventLine("update", record, clock_()));
    }
}

void CServiceListTap::LiveCount(std::size_t count) {
    inner_.LiveCount(count);
}

void CServiceListTap::NoticesLost(std::time_t time) {
    inner_.NoticesLost(time);
    counters_.AddNoticeLoss();
    if (events_.Any()) {
        events_.Offer(KernelLossEventLine(time));
    }
}

CAlertEventWorker::CAlertEventWorker(CMonitorCounters& counters, CEventOutlets events)
    : CWorker("alert events"), counters_(counters), events_(events) {
    Subscribe<ScanAlertEvent>();
    Subscribe<ScanAlertsSuppressed>();
}

void CAlertEventWorker::Handle(std::variant<ScanAlertEvent, ScanAlertsSuppressed>& message) {
    if (const auto* alert = std::get_if<ScanAlertEvent>(&message)) {
        counters_.AddAlert();
        if (events_.Any()) {
            events_.Offer(AlertEventLine(*alert));
        }
        return;
    }
    const auto& suppressed = std::get<ScanAlertsSuppressed>(message);
    counters_.AddAlerts(suppressed.hosts);
    if (events_.Any()) {
        events_.Offer(SuppressedEventLine(suppressed));
    }
}

CAlertEventWorker::~CAlertEventWorker() {
    Stop();
}

}  // namespace tarvik
