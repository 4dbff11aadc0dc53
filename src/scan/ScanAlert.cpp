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

namespace tarvik {

namespace {

constexpr int kBalloonSeconds = 10;

// Runs one channel so that whatever it throws stays inside it.
template <typename Channel>
void Isolated(const CSettingsStore& settings, const char* name, Channel&& channel) {
    try {
        channel();
    } catch (const std::exception& error) {
        settings.Trace(std::string("scan alert: ") + name + " failed: " + error.what());
    } catch (...) {
        settings.Trace(std::string("scan alert: ") + name + " failed");
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

CSMTPMessage BuildAlertMessage(const std::string& host, const std::string& portsText,
                               const std::string& mailHost,
                               const std::vector<std::string>& addresses,
                               const std::string& localHostName) {
    CSMTPMessage message;
    for (const std::string& address : addresses) {
        message.AddRecipient(CSMTPAddress(address), CSMTPMessage::kTo);
    }
    message.from = CSMTPAddress("Tarvik@" + MailDomain(mailHost));
    message.subject = AlertSubject(localHostName);
    message.SetBody(AlertMailBody(host, portsText));
    return message;
}

CScanAlert::CScanAlert(CSettingsStore& settings, std::shared_ptr<ISystemLog> systemLog,
                       int smtpPort)
    : settings_(settings),
      systemLog_(std::move(systemLog)),
      smtpPort_(smtpPort),
      abort_(std::make_shared<CSmtpAbort>()) {}

void CScanAlert::CancelPendingMail() {
    abort_->Abort();
}

void CScanAlert::Raise(const std::string& host, const std::string& portsText,
                       const std::string& mailHost) {
    Isolated(settings_, "balloon", [&] {
        settings_.ShowBalloon(kAlertBalloonTitle, AlertBalloonText(host), kBalloonSeconds);
    });
    if (settings_.GetEmailAlert() != 0) {
        Isolated(settings_, "e-mail", [&] { SendMail(host, portsText, mailHost); });
    }
    if (settings_.GetEventLog() != 0) {
        Isolated(settings_, "system log", [&] { WriteSystemLog(host, portsText); });
    }
}

void CScanAlert::SendMail(const std::string& host, const std::string& portsText,
                          const std::string& mailHost) {
    TextListPtr addresses = settings_.GetNotificationAddresses();
    const CSMTPMessage message =
        BuildAlertMessage(host, portsText, mailHost, addresses ? *addresses : TextList{},
                          CSettingsStore::LocalHostName());
    const std::string setting = settings_.GetMailHost();
    const std::optional<MailHostAddress> server = ParseMailHost(setting, smtpPort_);
    if (!server) {
        settings_.Trace("scan alert: mail not sent: mail host \"" + setting +
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
        settings_.Trace("scan alert: mail not sent: " + std::string(std::strerror(error)));
    }
}

void CScanAlert::WriteSystemLog(const std::string& host, const std::string& portsText) {
    if (systemLog_) {
        systemLog_->ReportError(kAlertEventHeading, AlertEventText(host, portsText));
    }
}

}  // namespace tarvik
