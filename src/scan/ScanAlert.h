#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "scan/AlertRateLimiter.h"
#include "scan/MailQueue.h"
#include "scan/OutboundScans.h"
#include "scan/ScanCounter.h"
#include "scan/SystemLog.h"

namespace tarvik {

class CSettingsStore;
class CWorkerHub;
class CSMTPMessage;
class CSmtpAbort;

// Raises the alert for one host that reached the unique-connection threshold.
class IScanAlerter {
public:
    virtual ~IScanAlerter() = default;
    // `mailHost` is the scan watcher's copy of "mailhost", the domain of the sender address.
    virtual void Raise(const ScanFinding& finding, const std::string& mailHost) = 0;
    // A process of this host scans others: the line goes to the system log (when "eventlog"
    // is set). Alerters without a log have nowhere to put it.
    virtual void RaiseOutbound(const OutboundFinding& /*finding*/) {}
    // Sends the summaries of hosts held back by a channel's rate once their minute is over.
    virtual void Flush(const std::string& /*mailHost*/) {}
    // From any thread: ends a mail exchange in progress at once and makes later ones fail at
    // once. Alerters that send no mail have nothing to cancel.
    virtual void CancelPendingMail() {}
};

// The alert's three channels, always in this order and each one whatever became of the one
// before: the tray balloon, the e-mail (when "emailalert" is set) and the system log (when
// "eventlog" is set). Failures are not reported anywhere. Each channel takes at most
// "alertsperminute" alert records a minute and then one summary a minute. Mail is sent by a
// queue of its own (bounded like the rate), so a server that is down never delays the caller.
class CScanAlert : public IScanAlerter {
public:
    static constexpr int kSmtpPort = 25;
    using Clock = std::chrono::steady_clock;

    // `smtpPort` is used when "mailhost" names no port of its own.
    CScanAlert(CSettingsStore& settings, CWorkerHub& hub, std::shared_ptr<ISystemLog> systemLog,
               int smtpPort = kSmtpPort);
    ~CScanAlert() override;

    void Raise(const ScanFinding& finding, const std::string& mailHost) override;
    void RaiseOutbound(const OutboundFinding& finding) override;
    void Flush(const std::string& mailHost) override;
    void CancelPendingMail() override;

    // For tests: waits until the queued mail has been sent; false after the deadline.
    bool WaitForMail(std::chrono::milliseconds deadline);
    // For tests: another clock for the channels' rates.
    void SetClock(std::function<Clock::time_point()> clock) { clock_ = std::move(clock); }

private:
    enum class Channel { Balloon, Mail, SystemLog };
    void Summarise(Channel channel, const std::string& mailHost, Clock::time_point now);
    void Balloon(const std::string& text);
    void QueueMail(const std::string& body, const std::string& mailHost);
    void SendMail(const CSMTPMessage& message);
    CAlertRateLimiter& Limiter(Channel channel);
    bool Enabled(Channel channel) const;

    CSettingsStore& settings_;
    CWorkerHub& hub_;
    std::shared_ptr<ISystemLog> systemLog_;
    int smtpPort_;
    std::shared_ptr<CSmtpAbort> abort_;
    std::function<Clock::time_point()> clock_ = [] { return Clock::now(); };
    CAlertRateLimiter balloonRate_;
    CAlertRateLimiter mailRate_;
    CAlertRateLimiter systemLogRate_;
    CMailQueue mail_;  // last: its thread uses the members above
};

inline constexpr const char* kAlertBalloonTitle = "Tarvik: Scan Alert";
inline constexpr const char* kAlertEventHeading = "Tarvik error: 100";

std::string AlertBalloonText(const std::string& host);
std::string AlertSubject(const std::string& localHostName);
// Lines end in a bare LF.
std::string AlertMailBody(const std::string& host, const std::string& portsText);
std::string AlertEventText(const std::string& host, const std::string& portsText);
// The line that names the scan kind in the mail body.
std::string ScanKindLine(const std::string& kind);
// The mail body with the scan kind's line before the signature.
std::string AlertMailBody(const std::string& host, const std::string& portsText,
                          const std::string& kind);
// The system-log record: one line, the event text with " (scan kind: <kind>)" after it, so a
// reader of the log matching the event text still finds it whole.
std::string AlertEventText(const std::string& host, const std::string& portsText,
                           const std::string& kind);

// The alert e-mail: To each address in order, From "Tarvik@" + MailDomain(mailHost) (no port,
// an address as its literal), no display names.
CSMTPMessage BuildAlertMessage(const std::string& host, const std::string& portsText,
                               const std::string& mailHost,
                               const std::vector<std::string>& addresses,
                               const std::string& localHostName);

}  // namespace tarvik
