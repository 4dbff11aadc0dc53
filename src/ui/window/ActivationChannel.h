#pragma once

#include <QObject>
#include <QString>
#include <chrono>
#include <memory>

class QLocalServer;

namespace tarvik {

// How a second start of the window program reaches the one that holds the settings lock: a
// local socket beside the lock, which the holder listens on. A start that is refused sends one
// request and ends; the holder raises its window.
class CActivationServer : public QObject {
    Q_OBJECT
public:
    explicit CActivationServer(QObject* parent = nullptr);
    ~CActivationServer() override;

    // Listens on `path`. A socket left there by a holder that died is replaced: only the lock's
    // holder calls this. False, with the reason in ErrorText(), when it cannot listen.
    bool Listen(const QString& path);
    QString ErrorText() const { return error_; }

signals:
    void activationRequested();

private:
    void OnConnection();

    std::unique_ptr<QLocalServer> server_;
    QString error_;
};

// Asks the holder listening on `path` to raise its window; true when the request was sent
// within `bound`.
bool RequestActivation(const QString& path, std::chrono::milliseconds bound);

}  // namespace tarvik
