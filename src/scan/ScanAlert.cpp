#include "scan/ScanAlert.h"

#include <cstring>
#include <exception>
#include <optional>
#include <utility>

#include "mail/MailHost.h"
#include "mail/SMTPConnection.h"
#include "mail/SMTPMessage.h"
#include "mail/SmtpAbort.h"
#include "settings/SettingsStore.h"
#include "workers/WorkerHub.h"

namespace tarvik {

namespace {

constexpr int kBalloonSeconds = 10;

// Runs one channel so that whatever it throws stays inside it.
template <typename Channel>
void Isolated(const CWorkerHub& hub, const char* name, Channel&& channel) {
    try {
        channel();
    } catch (const std::exception& error) {
        hub.Trace(std::string("scan alert: ") + name + " failed: " + error.what());
    } catch (...) {
        hub.Trace(std::string("scan alert: ") + name + " failed");
    }
}

}  // namespace

std::string AlertBalloonText(const std::string& host) {
    return "Triggered by connection(s) from " + host;
}

std::string AlertSubject(const std::string& localHostName) {
    return "ALERT: Scan Detected on " + localHostName;
}

std::string AlertMailBody(const std::string& host, const std::string& portsText) {
    return "An alert was triggered by connection(s) from:\n\n" + host + "\n\non port(s):\n\n" +
           portsText + "\n\n- Tarvik";
}

std::string AlertEventText(const std::string& host, const std::string& portsText) {
    return "An alert was triggered by connection(s) from:  " + host + "  on port(s):  " + portsText;
}

namespace {

CSMTPMessage MailMessage(const std::string& body, const std::string& mailHost,
                         const std::vector<std::string>& addresses,
                         const std::string& localHostName) {
    CSMTPMessage message;
    for (const std::string& address : addresses) {
        message.AddRecipient(CSMTPAddress(address), CSMTPMessage::kTo);
    }
    message.from = CSMTPAddress("Tarvik@" + MailDomain(mailHost));
    message.subject = AlertSubject(localHostName);
    message.SetBody(body);
    return message;
}

constexpr const char* kSignature = "\n\n- Tarvik";

}  // namespace

std::string ScanKindLine(const std::string& kind) {
    return "Scan kind: " + kind;
}

std::string AlertMailBody(const std::string& host, const std::string& portsText,
                          const std::string& kind) {
    return "An alert was triggered by connection(s) from:\n\n" + host + "\n\non port(s):\n\n" +
           portsText + "\n\n" + ScanKindLine(kind) + kSignature;
}

std::string AlertEventText(const std::string& host, const std::string& portsText,
                           const std::string& kind) {
    return AlertEventText(host, portsText) + " (scan kind: " + kind + ")";
}

CSMTPMessage BuildAlertMessage(const std::string& host, const std::string& portsText,
                               const std::string& mailHost,
                               const std::vector<std::string>& addresses,
                               const std::string& localHostName) {
    return MailMessage(AlertMailBody(host, portsText), mailHost, addresses, localHostName);
}

CScanAlert::CScanAlert(CSettingsStore& settings, CWorkerHub& hub,
                       std::shared_ptr<ISystemLog> systemLog, int smtpPort)
    : settings_(settings),
      hub_(hub),
      systemLog_(std::move(systemLog)),
      smtpPort_(smtpPort),
      abort_(std::make_shared<CSmtpAbort>()) {}

CScanAlert::~CScanAlert() {
    // A stop must not wait for a mail server.
    mail_.DropWaiting();
    abort_->Abort();
}

void CScanAlert::CancelPendingMail() {
    mail_.DropWaiting();
    abort_->Abort();
}

bool CScanAlert::WaitForMail(std::chrono::milliseconds deadline) {
    return mail_.WaitIdle(deadline);
}

CAlertRateLimiter& CScanAlert::Limiter(Channel channel) {
    switch (channel) {
        case Channel::Balloon:
            return balloonRate_;
        case Channel::Mail:
            return mailRate_;
        case Channel::SystemLog:
            break;
    }
    return systemLogRate_;
}

bool CScanAlert::Enabled(Channel channel) const {
    switch (channel) {
        case Channel::Balloon:
            return true;
        case Channel::Mail:
            return settings_.GetEmailAlert() != 0;
        case Channel::SystemLog:
            break;
    }
    return settings_.GetEventLog() != 0;
}

void CScanAlert::Raise(const ScanFinding& finding, const std::string& mailHost) {
    const Clock::time_point now = clock_();
    const int perMinute = settings_.GetAlertsPerMinute();
    // Whether each channel may take one more record, decided before any runs.
    auto admitted = [&](Channel channel) {
        if (!Enabled(channel)) {
            return false;
        }
        Summarise(channel, mailHost, now);
        return Limiter(channel).Admit(finding.host, perMinute, now, finding.completedHandshake);
    };
    if (admitted(Channel::Balloon)) {
        Balloon(AlertBalloonText(finding.host));
    }
    if (admitted(Channel::Mail)) {
        Isolated(hub_, "e-mail", [&] {
            QueueMail(AlertMailBody(finding.host, finding.portsText, finding.kind), mailHost);
        });
    }
    if (admitted(Channel::SystemLog) && systemLog_) {
        Isolated(hub_, "system log", [&] {
            systemLog_->ReportAlert(kAlertEventHeading,
                                    AlertEventText(finding.host, finding.portsText, finding.kind),
                                    {finding.host, finding.portsText, finding.kind});
        });
    }
}

void CScanAlert::RaiseOutbound(const OutboundFinding& finding) {
    // At most one line per process and check, from at most a few hundred processes: bounded
    // without the hosts' rate.
    if (Enabled(Channel::SystemLog) && systemLog_) {
        Isolated(hub_, "system log",
                 [&] { systemLog_->ReportError(kAlertEventHeading, finding.text); });
    }
}

void CScanAlert::Flush(const std::string& mailHost) {
    const Clock::time_point now = clock_();
    for (Channel channel : {Channel::Balloon, Channel::Mail, Channel::SystemLog}) {
        Summarise(channel, mailHost, now);
    }
}

void CScanAlert::Summarise(Channel channel, const std::string& mailHost, Clock::time_point now) {
    const std::optional<std::string> summary = Limiter(channel).TakeSummary(now);
    if (!summary) {
        return;
    }
    switch (channel) {
        case Channel::Balloon:
            Balloon(*summary);
            break;
        case Channel::Mail:
            Isolated(hub_, "e-mail", [&] { QueueMail(*summary + kSignature, mailHost); });
            break;
        case Channel::SystemLog:
            if (systemLog_) {
                Isolated(hub_, "system log",
                         [&] { systemLog_->ReportError(kAlertEventHeading, *summary); });
            }
            break;
    }
}

void CScanAlert::Balloon(const std::string& text) {
    Isolated(hub_, "balloon", [&] { hub_.ShowBalloon(kAlertBalloonTitle, text, kBalloonSeconds); });
}

void CScanAlert::QueueMail(const std::string& body, const std::string& mailHost) {
    TextListPtr addresses = settings_.GetNotificationAddresses();
    CSMTPMessage message = MailMessage(body, mailHost, addresses ? *addresses : TextList{},
                                       CSettingsStore::LocalHostName());
    // Room for one minute's records and its summary.
    const auto capacity = static_cast<std::size_t>(settings_.GetAlertsPerMinute()) + 1;
    const bool queued = mail_.Push(
        [this, message = std::move(message)] {
            Isolated(hub_, "e-mail", [&] { SendMail(message); });
        },
        capacity);
    if (!queued) {
        hub_.Trace("scan alert: mail not sent: the mail queue is full");
    }
}

void CScanAlert::SendMail(const CSMTPMessage& message) {
    // Read when sent, so that a server changed since the alert is used.
    const std::string setting = settings_.GetMailHost();
    const std::optional<MailHostAddress> server = ParseMailHost(setting, smtpPort_);
    if (!server) {
        hub_.Trace("scan alert: mail not sent: mail host \"" + setting +
                   "\" is not host, host:port or [address]:port");
        return;
    }
    // Each step runs whatever the one before returned; the exchange ends itself on failure.
    CSMTPConnection connection(CSMTPConnection::Limits{}, abort_);
    const bool sent =
        connection.Connect(server->host, server->port) && connection.SendMessage(message);
    const int error = connection.LastError();
    connection.Disconnect();
    if (!sent) {
        hub_.Trace("scan alert: mail not sent: " + std::string(std::strerror(error)));
    }
}

}  // namespace tarvik
