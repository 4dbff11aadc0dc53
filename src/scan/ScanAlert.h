#pragma once

#include <memory>
#include <string>
#include <vector>

#include "scan/SystemLog.h"

namespace tarvik {

class CSettingsStore;
class CSMTPMessage;
class CSmtpAbort;

// Raises the alert for one host that reached the unique-connection threshold.
class IScanAlerter {
public:
    virtual ~IScanAlerter() = default;
    // `mailHost` is the scan watcher's copy of "mailhost", the domain of the sender address.
    virtual void Raise(const std::string& host, const std::string& portsText,
                       const std::string& mailHost) = 0;
    // From any thread: ends a mail exchange in progress at once and makes later ones fail at
    // once. Alerters that send no mail have nothing to cancel.
    virtual void CancelPendingMail() {}
};

// The alert's three channels, always in this order and each one whatever became of the one
// before: the tray balloon, the e-mail (when "emailalert" is set) and the system log (when
// "eventlog" is set). Failures are not reported anywhere.
class CScanAlert : public IScanAlerter {
public:
    static constexpr int kSmtpPort = 25;

    // `smtpPort` is used when "mailhost" names no port of its own.
    CScanAlert(CSettingsStore& settings, std::shared_ptr<ISystemLog> systemLog,
               int smtpPort = kSmtpPort);

    void Raise(const std::string& host, const std::string& portsText,
               const std::string& mailHost) override;
    void CancelPendingMail() override;

private:
    void SendMail(const std::string& host, const std::string& portsText,
                  const std::string& mailHost);
    void WriteSystemLog(const std::string& host, const std::string& portsText);

    CSettingsStore& settings_;
    std::shared_ptr<ISystemLog> systemLog_;
    int smtpPort_;
    std::shared_ptr<CSmtpAbort> abort_;
};

inline constexpr const char* kAlertBalloonTitle = "Tarvik: Scan Alert";
inline constexpr const char* kAlertEventHeading = "Tarvik error: 100";

std::string AlertBalloonText(const std::string& host);
std::string AlertSubject(const std::string& localHostName);
// Lines end in a bare LF.
std::string AlertMailBody(const std::string& host, const std::string& portsText);
std::string AlertEventText(const std::string& host, const std::string& portsText);

// The alert e-mail: To each address in order, From "Tarvik@" + the host part of mailHost (no
// port), no display names.
CSMTPMessage BuildAlertMessage(const std::string& host, const std::string& portsText,
                               const std::string& mailHost,
                               const std::vector<std::string>& addresses,
                               const std::string& localHostName);

}  // namespace tarvik
