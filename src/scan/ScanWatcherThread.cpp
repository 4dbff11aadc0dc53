#include "scan/ScanWatcherThread.h"

#include <algorithm>
#include <utility>

#include "settings/SettingsStore.h"

namespace tarvik {

CScanWatcherThread::CScanWatcherThread(CSettingsStore& settings)
    : CScanWatcherThread(
          settings, std::make_unique<CScanAlert>(settings, std::make_shared<CSyslogSystemLog>())) {}

CScanWatcherThread::CScanWatcherThread(CSettingsStore& settings,
                                       std::unique_ptr<IScanAlerter> alerter,
                                       std::string listenAddress)
    : CWorkerThread("scan watcher"),
      settings_(settings),
      alerter_(std::move(alerter)),
      listenAddress_(std::move(listenAddress)),
      listener_(std::make_unique<CScanListener>(settings_, listenAddress_)) {
    On(kMsgNewConnection, [this](Message& message) { OnNewConnection(message); });
    On(kMsgScanCheck, [this](Message&) { OnScanCheck(); });
    On(kMsgScanSettingsChanged, [this](Message&) { Reload(); });
}

CScanWatcherThread::~CScanWatcherThread() {
    // The handlers use the members below: end the loop before they go.
    Stop();
    StopListener();
}

bool CScanWatcherThread::InitInstance() {
    Reload();
    return true;
}

void CScanWatcherThread::OnQuit() {
    StopListener();
}

void CScanWatcherThread::CancelPendingMail() {
    // alerter_ is set at construction and never replaced, so reading it here needs no lock.
    if (alerter_) {
        alerter_->CancelPendingMail();
    }
}

void CScanWatcherThread::OnNewConnection(Message& message) {
    std::unique_ptr<CConnectionRecord> record = message.wParam.TakeRecord();
    if (!record || settings_.GetScanEnabled() == 0) {
        return;
    }
    PortListPtr ignorePorts = settings_.GetIgnorePorts();
    TextListPtr ignoreHosts = settings_.GetIgnoreHosts();
    counter_.Count(*record, ignorePorts ? *ignorePorts : PortList{},
                   ignoreHosts ? *ignoreHosts : TextList{});
}

void CScanWatcherThread::OnScanCheck() {
    // Bait ports that were busy at the last try may have been freed since.
    if (listener_) {
        listener_->RetryUnbound();
    }
    if (settings_.GetScanEnabled() == 0 || !alerter_) {
        return;
    }
    // Below 1, hosts with nothing counted would alert at every check.
    counter_.Check(std::max(1, settings_.GetThreshold()),
                   [this](const std::string& host, const std::string& portsText) {
                       alerter_->Raise(host, portsText, mailHost_);
                   });
}

void CScanWatcherThread::Reload() {
    mailHost_ = settings_.GetMailHost();
    StopListener();
    listener_ = std::make_unique<CScanListener>(settings_, listenAddress_);
    if (settings_.GetListenEnabled() != 0) {
        listener_->Start();
    }
}

void CScanWatcherThread::StopListener() {
    if (listener_) {
        listener_->Stop();
        listener_->Wait();
    }
}

}  // namespace tarvik
