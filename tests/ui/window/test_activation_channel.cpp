#include <gtest/gtest.h>

#include <QLocalSocket>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "support/WindowTestSupport.h"
#include "ui/window/ActivationChannel.h"

namespace tarvik {
namespace {

using test::WaitFor;

class ActivationChannelTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::TestApp();
        folder = std::filesystem::temp_directory_path() /
                 ("tarvik-activate-" + std::to_string(std::random_device{}()));
        std::filesystem::create_directories(folder);
        path = QString::fromStdString((folder / "settings.lock.activate").string());
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
    std::filesystem::path folder;
    QString path;
};

TEST_F(ActivationChannelTest, ARefusedStartRaisesTheHolderEvenOverAStaleSocket) {
    // A holder that died leaves its socket file behind; the next holder takes the name over.
    std::ofstream(path.toStdString()) << "stale";
    CActivationServer server;
    ASSERT_TRUE(server.Listen(path)) << server.ErrorText().toStdString();
    int requests = 0;
    QObject::connect(&server, &CActivationServer::activationRequested, [&requests] { ++requests; });

    // The request is sent from a thread of its own, as a second process would, while this
    // thread runs the holder's event loop.
    bool sent = false;
    std::thread second([this, &sent] { sent = RequestActivation(path, std::chrono::seconds(3)); });
    EXPECT_TRUE(WaitFor([&requests] { return requests == 1; }));
    second.join();
    EXPECT_TRUE(sent);
}

TEST_F(ActivationChannelTest, NobodyListeningIsReportedAndOtherTextIsIgnored) {
    EXPECT_FALSE(RequestActivation(path, std::chrono::milliseconds(200)));

    CActivationServer server;
    ASSERT_TRUE(server.Listen(path));
    int requests = 0;
    QObject::connect(&server, &CActivationServer::activationRequested, [&requests] { ++requests; });
    QLocalSocket other;
    other.connectToServer(path);
    ASSERT_TRUE(WaitFor([&other] { return other.state() == QLocalSocket::ConnectedState; }));
    other.write(QByteArray(200, 'x'));
    other.flush();
    EXPECT_TRUE(WaitFor([&other] { return other.state() == QLocalSocket::UnconnectedState; }));
    EXPECT_EQ(requests, 0);
}

}  // namespace
}  // namespace tarvik
