#pragma once

#include <QObject>
#include <memory>

class QSocketNotifier;

namespace tarvik {

// Turns SIGTERM, SIGINT and SIGHUP into a signal on the GUI thread (through a self-pipe), so that
// the program ends through its close path. One instance per process; the default actions come back
// when it is destroyed.
class CTerminationSignals : public QObject {
    Q_OBJECT
public:
    explicit CTerminationSignals(QObject* parent = nullptr);
    ~CTerminationSignals() override;

    bool Installed() const { return notifier_ != nullptr; }

signals:
    void terminationRequested();

private:
    void Drain();

    int readFd_ = -1;
    int writeFd_ = -1;
    std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace tarvik
