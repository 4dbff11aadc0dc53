// The window attached to a real tarvikd, and the window that monitors by itself.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <fstream>
#include <set>
#include <sstream>

#include "base/UniqueFd.h"
#include "e2e/ChildProcess.h"
#include "support/WindowTestSupport.h"
#include "ui/model/RowRules.h"
#include "ui/window/MainFrame.h"
#include "ui/window/MonitorChoice.h"
#include "ui/window/RowTableModel.h"

namespace tarvik {
namespace {

using namespace std::chrono_literals;

// A listening socket on loopback, for a row whose port and process are known.
struct Listener {
    UniqueFd fd{socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    int port = 0;
    Listener() {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), size) == 0 &&
            listen(fd.Get(), 4) == 0 &&
            getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&address), &size) == 0) {
            port = ntohs(address.sin_port);
        }
    }
};

std::string OwnCommand() {
    std::ifstream comm("/proc/self/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

// Descriptors of this process that read the kernel's tables or packets: sock_diag netlink
// sockets (protocol 4), packet sockets and eBPF objects.
int KernelSourcesOpen() {
    std::set<std::string> inodes;
    int bpf = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        const std::string target = std::filesystem::read_symlink(entry.path(), error).string();
        if (target.starts_with("socket:[")) {
            inodes.insert(target.substr(8, target.size() - 9));
        }
        bpf += target.starts_with("anon_inode:bpf") ? 1 : 0;
    }
    int found = bpf;
    for (const char* table : {"/proc/self/net/netlink", "/proc/self/net/packet"}) {
        std::ifstream lines(table);
        std::string line;
        std::getline(lines, line);  // the heading
        const bool netlink = std::string_view(table).ends_with("netlink");
        while (std::getline(lines, line)) {
            std::istringstream fields(line);
            std::vector<std::string> words{std::istream_iterator<std::string>(fields), {}};
            if (words.size() < 2 || !inodes.contains(words.back())) {
                continue;
            }
            found += !netlink || words[1] == "4" ? 1 : 0;
        }
    }
    return found;
}

class WindowAttachTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::TestApp();
        settings_.Store().SetShowListening(1);  // the row looked for is a listener
    }

    void StartDaemon() {
        const std::filesystem::path folder = settings_.File().parent_path();
        socket_ = folder / "run" / "tarvikd.sock";
        daemon_ = std::make_unique<test::ChildProcess>(
            std::vector<std::string>{TARVIKD_PATH, "--config", (folder / "D.conf").string(),
                                     "--acquisition", "poll", "--socket", socket_.string()},
            test::ChildProcess::Options{std::nullopt, folder.string(), false});
        ASSERT_TRUE(daemon_->WaitForError("tarvikd: started", 20s)) << daemon_->Errors();
    }

    std::unique_ptr<CMainFrame> ShowFrame(WindowMonitor monitor) {
        auto frame = std::make_unique<CMainFrame>(settings_.Store(), hub_,
                                                  MakeWindowWorkers(std::move(monitor)));
        frame->SetStopBound(10s, [] { ADD_FAILURE() << "the workers did not stop"; });
        frame->show();
        return frame;
    }

    // The process cell of the row of `port`, once it shows; empty when none showed.
    static QString ProcessOfRow(const CMainFrame& frame, int port) {
        QString process;
        test::WaitFor(
            [&] {
                const CRowTableModel& rows = frame.View()->Rows();
                for (int row = 0; row < rows.rowCount(); ++row) {
                    const int local = static_cast<int>(Column::LocalPort);
                    if (rows.data(rows.index(row, local)).toString() == QString::number(port)) {
                        process = rows.data(rows.index(row, kProcessColumn)).toString();
                        return !process.isEmpty();
                    }
                }
                return false;
            },
            60s);
        return process;
    }

    test::TempSettings settings_;
    CWorkerHub hub_;
    std::filesystem::path socket_;
    std::unique_ptr<test::ChildProcess> daemon_;
};

TEST_F(WindowAttachTest, ShowsTheDaemonsRowsAndStatusWithoutReadingTheKernel) {
    ASSERT_NO_FATAL_FAILURE(StartDaemon());
    ASSERT_EQ(ChooseDaemon(false, std::nullopt, {socket_}, StatusProbe(5s)), socket_);
    const Listener listener;
    ASSERT_NE(listener.port, 0);
    const int sourcesBefore = KernelSourcesOpen();
    auto frame = ShowFrame({.daemon = socket_, .acquisition = std::nullopt});

    EXPECT_TRUE(
        ProcessOfRow(*frame, listener.port).startsWith(QString::fromStdString(OwnCommand())));
    EXPECT_TRUE(test::WaitFor([&] { return frame->BackendLabel()->text() == "tarvikd (poll)"; }))
        << frame->BackendLabel()->text().toStdString();
    EXPECT_EQ(KernelSourcesOpen(), sourcesBefore);

    // The settings are the daemon's to change: the dialog shows them read-only, with the way.
    QString note;
    bool okHidden = false;
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
            if (const auto* label = dialog->findChild<QLabel*>("readOnlyNote")) {
                note = label->text();
            }
            okHidden =
                dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->isHidden();
            dialog->reject();
        }
    });
    closer.start(10);
    frame->View()->LoggingOptionsAction()->trigger();
    closer.stop();
    EXPECT_TRUE(note.contains("tarvikctl reload")) << note.toStdString();
    EXPECT_TRUE(okHidden);

    // A daemon that goes away is named in the status bar; the window stays.
    EXPECT_EQ(daemon_->Stop(SIGTERM), 0) << daemon_->Errors();
    EXPECT_TRUE(test::WaitFor(
        [&] {
            const QString text = frame->BackendLabel()->text();
            return text.startsWith("tarvikd went away") ||
                   text.startsWith("tarvikd is not running");
        },
        10s))
        << frame->BackendLabel()->text().toStdString();
    frame->RunClosePath();
}

TEST_F(WindowAttachTest, WithoutADaemonOrWithLocalTheWindowMonitorsItself) {
    const std::filesystem::path missing = settings_.File().parent_path() / "none.sock";
    EXPECT_EQ(ChooseDaemon(false, std::nullopt, {missing}, StatusProbe(1s)), std::nullopt);
    EXPECT_EQ(ChooseDaemon(true, missing, {missing}, StatusProbe(1s)), std::nullopt);
    EXPECT_EQ(ChooseDaemon(false, missing, {}, StatusProbe(1s)), missing);

    const Listener listener;
    ASSERT_NE(listener.port, 0);
    auto frame = ShowFrame({.daemon = std::nullopt, .acquisition = AcquisitionMode::Poll});
    EXPECT_TRUE(
        ProcessOfRow(*frame, listener.port).startsWith(QString::fromStdString(OwnCommand())));
    EXPECT_EQ(frame->BackendLabel()->text(), "poll");
    frame->RunClosePath();
}

}  // namespace
}  // namespace tarvik
