#include "logging/ConnectionLogger.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>

#include "LoggerFixture.h"
#include "logging/LogLine.h"

namespace tarvik {
namespace {

namespace fs = std::filesystem;
using testing::kHeaderLine;
using testing::LineCount;
using testing::LoggerTest;
using testing::UtcTime;

const std::time_t kMay7 = UtcTime(2003, 5, 7, 14, 5, 10);
const std::time_t kMay8 = UtcTime(2003, 5, 8, 9, 0, 0);

std::size_t FileCount(const fs::path& dir) {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir)) {
        ++count;
    }
    return count;
}

using ConnectionLoggerTest = LoggerTest;

TEST_F(ConnectionLoggerTest, WritesTheExactLineUnderAHeaderWithNothingEscaped) {
    CConnectionRecord record = Record(Category::Inbound, UtcTime(2003, 8, 22, 14, 5, 10));
    record.openTime = UtcTime(2003, 8, 22, 14, 3, 7);
    CConnectionLogger logger(store_, hub_);
    logger.Log(record);
    record.serviceText = "inbound a,b";
    logger.Log(record);

    const std::string line =
        "14:03:07 08/22/2003,14:05:10 08/22/2003,192.168.1.20,192.168.1.20,1234,192.168.1.5,21,";
    EXPECT_EQ(Log("inbound.22. 8.2003"),
              kHeaderLine + line + "inbound ftp\n" + line + "inbound a,b\n");
}

TEST_F(ConnectionLoggerTest, ExtendedLinesAddProtocolBytesAndProcessAfterTheClassicFields) {
    const std::string classic =
        "14:03:07 08/22/2003,14:05:10 08/22/2003,192.168.1.20,192.168.1.20,1234,192.168.1.5,21,";
    struct Case {
        ByteCounts bytes;
        Protocol protocol;
        int pid;
        const char* command;
        const char* service;
        const char* expected;  // after the classic fields
    } cases[] = {
        {{100000, 7000}, Protocol::Tcp, 0, "", "inbound ftp", "inbound ftp,TCP,100000,7000,"},
        {{0, 0}, Protocol::Tcp, 4242, "curl", "inbound ftp", "inbound ftp,TCP,0,0,curl (4242)"},
        {{5, 6}, Protocol::Tcp, 7, "a,b\n", "inbound ftp", "inbound ftp,TCP,5,6,a\\x2cb\\x0a (7)"},
        {{1, 2}, Protocol::Tcp, 0, "", "inbound a,b", "inbound a,b,TCP,1,2,"},
        {{0, 0}, Protocol::Udp, 0, "", "inbound dns", "inbound dns,UDP,0,0,"},
    };
    store_.SetLogFormat(LogFormat::Extended);
    store_.SetLogUdp(1);
    CConnectionLogger logger(store_, hub_);
    std::string expected = std::string(LogHeader(LogFormat::Extended)) + "\n";
    for (const Case& c : cases) {
        CConnectionRecord record = Record(Category::Inbound, UtcTime(2003, 8, 22, 14, 5, 10));
        record.openTime = UtcTime(2003, 8, 22, 14, 3, 7);
        record.bytes = c.bytes;
        record.protocol = c.protocol;
        record.pid = c.pid;
        record.command = c.command;
        record.serviceText = c.service;
        logger.Log(record);
        expected += classic + c.expected + "\n";
    }
    EXPECT_EQ(Log("inbound.22. 8.2003"), expected);
}

TEST_F(ConnectionLoggerTest, AFileKeepsTheFormatOfItsHeader) {
    {
        CConnectionLogger logger(store_, hub_);
        logger.Log(Record(Category::Inbound, kMay7));
    }
    store_.SetLogFormat(LogFormat::Extended);
    CConnectionLogger logger(store_, hub_);
    logger.Log(Record(Category::Inbound, kMay7));  // today's file is classic
    logger.Log(Record(Category::Inbound, kMay8));  // tomorrow's is new
    const std::string may7 = Log("inbound. 7. 5.2003");
    EXPECT_EQ(may7.find(kHeaderLine), 0u);
    EXPECT_EQ(LineCount(may7), 3);
    EXPECT_EQ(may7.find(",TCP,"), std::string::npos);
    const std::string may8 = Log("inbound. 8. 5.2003");
    EXPECT_EQ(may8.find(std::string(LogHeader(LogFormat::Extended)) + "\n"), 0u);
    EXPECT_NE(may8.find(",TCP,0,0,"), std::string::npos);
}

TEST_F(ConnectionLoggerTest, HeaderIsWrittenOnceEvenAcrossLoggers) {
    {
        CConnectionLogger logger(store_, hub_);
        logger.Log(Record(Category::Inbound, kMay7));
        logger.Log(Record(Category::Inbound, kMay7 + 60));
    }
    CConnectionLogger reopened(store_, hub_);
    reopened.Log(Record(Category::Inbound, kMay7 + 120));

    const std::string log = Log("inbound. 7. 5.2003");
    EXPECT_EQ(log.find("Open Time"), 0u);
    EXPECT_EQ(log.find("Open Time", 1), std::string::npos);
    EXPECT_EQ(LineCount(log), 4);
    EXPECT_NE(log.find("14:05:07 05/07/2003,14:07:10 05/07/2003,192.168.1.20"), std::string::npos);
}

TEST_F(ConnectionLoggerTest, ExistingFileIsAppendedToAndOnlyAnEmptyOneGetsTheHeader) {
    std::ofstream(dir_ / "outbound. 7. 5.2003").close();
    std::ofstream(dir_ / "unknown. 7. 5.2003") << "earlier line\n";
    CConnectionLogger logger(store_, hub_);
    logger.Log(Record(Category::Outbound, kMay7));
    logger.Log(Record(Category::Unknown, kMay7));

    EXPECT_EQ(Log("outbound. 7. 5.2003").find(kHeaderLine), 0u);
    const std::string unknown = Log("unknown. 7. 5.2003");
    EXPECT_EQ(unknown.find("earlier line\n14:03:07 05/07/2003,"), 0u);
    EXPECT_EQ(LineCount(unknown), 2);
}

TEST_F(ConnectionLoggerTest, EachCategoryHasItsOwnFileAndListeningWritesNothing) {
    CConnectionLogger logger(store_, hub_);
    logger.Log(Record(Category::Listening, kMay7));
    logger.Log(Record(Category::None, kMay7));
    EXPECT_EQ(FileCount(dir_.Path()), 0u);

    logger.Log(Record(Category::Inbound, kMay7));
    logger.Log(Record(Category::Outbound, kMay7));
    logger.Log(Record(Category::Unknown, kMay7));
    EXPECT_EQ(FileCount(dir_.Path()), 3u);
    for (const char* name : {"inbound. 7. 5.2003", "outbound. 7. 5.2003", "unknown. 7. 5.2003"}) {
        EXPECT_EQ(LineCount(Log(name)), 2) << name;
    }
}

TEST_F(ConnectionLoggerTest, SwitchAndFilterAreReadAtEveryRecord) {
    CConnectionLogger logger(store_, hub_);
    store_.SetLogEnabled(LogCategory::Inbound, 0);
    logger.Log(Record(Category::Inbound, kMay7, 80));
    EXPECT_FALSE(fs::exists(dir_ / "inbound. 7. 5.2003"));

    store_.SetLogEnabled(LogCategory::Inbound, 1);
    store_.SetLogType(LogCategory::Inbound, 2);
    store_.SetLogPorts(LogCategory::Inbound, {80, 443});
    logger.Log(Record(Category::Inbound, kMay7, 80));
    logger.Log(Record(Category::Inbound, kMay7, 25));
    store_.SetLogType(LogCategory::Inbound, 3);
    logger.Log(Record(Category::Inbound, kMay7, 443));
    logger.Log(Record(Category::Inbound, kMay7, 22));

    const std::string log = Log("inbound. 7. 5.2003");
    EXPECT_EQ(LineCount(log), 3);
    EXPECT_NE(log.find(",25,inbound ftp\n"), std::string::npos);
    EXPECT_NE(log.find(",443,inbound ftp\n"), std::string::npos);
    EXPECT_EQ(log.find(",80,inbound ftp\n"), std::string::npos);
    EXPECT_EQ(log.find(",22,inbound ftp\n"), std::string::npos);
}

TEST_F(ConnectionLoggerTest, UdpEndsAreLoggedOnlyWhenSwitchedOnAndTheirLinesLookTheSame) {
    CConnectionLogger logger(store_, hub_);
    CConnectionRecord udp = Record(Category::Inbound, kMay7, 53);
    udp.protocol = Protocol::Udp;
    const CConnectionRecord tcp = Record(Category::Inbound, kMay7, 80);
    for (const int on : {0, 1}) {
        store_.SetLogUdp(on);
        logger.Log(udp);
        logger.Log(tcp);
    }
    // Header, TCP, UDP (switched on), TCP: the UDP line is the TCP form of the same record.
    const std::string log = Log("inbound. 7. 5.2003");
    EXPECT_EQ(LineCount(log), 4);
    udp.protocol = Protocol::Tcp;
    EXPECT_NE(log.find(udp.CsvText() + "\n"), std::string::npos);
}

TEST_F(ConnectionLoggerTest, AlternatingDaysPutEachLineInItsDaysFile) {
    CConnectionLogger logger(store_, hub_);
    for (int i = 0; i < 4; ++i) {
        CConnectionRecord record = Record(Category::Inbound, i % 2 == 0 ? kMay7 : kMay8);
        record.localPort = 100 + i;
        logger.Log(record);
    }
    const std::string day7 = Log("inbound. 7. 5.2003");
    const std::string day8 = Log("inbound. 8. 5.2003");
    EXPECT_EQ(LineCount(day7), 3);
    EXPECT_EQ(LineCount(day8), 3);
    EXPECT_NE(day7.find(",100,"), std::string::npos);
    EXPECT_NE(day7.find(",102,"), std::string::npos);
    EXPECT_NE(day8.find(",101,"), std::string::npos);
    EXPECT_NE(day8.find(",103,"), std::string::npos);
}

TEST_F(ConnectionLoggerTest, RotationChangeMovesToTheNewFileAtOnce) {
    CConnectionLogger logger(store_, hub_);
    logger.Log(Record(Category::Outbound, kMay7));
    store_.SetLogRotation(LogCategory::Outbound, kRotationWeekly);
    logger.Log(Record(Category::Outbound, kMay7));
    store_.SetLogRotation(LogCategory::Outbound, kRotationMonthly);
    logger.Log(Record(Category::Outbound, kMay7));

    for (const char* name : {"outbound. 7. 5.2003", "outbound. 4-10. 5.2003", "outbound. 5.2003"}) {
        const std::string log = Log(name);
        EXPECT_EQ(LineCount(log), 2) << name;
    }
}

TEST_F(ConnectionLoggerTest, FolderChangeTakesEffectAfterTheNextDateChange) {
    const fs::path other = dir_.Path() / "other";
    fs::create_directory(other);
    CConnectionLogger logger(store_, hub_);
    logger.Log(Record(Category::Inbound, kMay7));
    store_.SetLogFolder(LogCategory::Inbound, other.string() + "/");
    logger.Log(Record(Category::Inbound, kMay7));
    logger.Log(Record(Category::Inbound, kMay8));

    const std::string day7 = Log("inbound. 7. 5.2003");
    EXPECT_EQ(LineCount(day7), 3);
    EXPECT_EQ(testing::ReadFile(other / "inbound. 8. 5.2003").find(kHeaderLine), 0u);
}

TEST_F(ConnectionLoggerTest, AFailureKeepsTheCategoryOnAndItsLinesUntilTheFileCanBeMade) {
    // Only the folder's last component is made, so a missing parent keeps failing.
    const fs::path parent = dir_.Path() / "parent";
    store_.SetLogFolder(LogCategory::Inbound, (parent / "logs").string());
    CConnectionLogger logger(store_, hub_, Hooks());
    logger.Log(Record(Category::Inbound, kMay7, 1));
    logger.Log(Record(Category::Inbound, kMay7, 2));
    logger.Log(Record(Category::Unknown, kMay7));

    ASSERT_EQ(notifier_->Messages().size(), 1u);
    const std::string message = notifier_->Messages()[0];
    EXPECT_EQ(message, "Unable to open inbound connection logfile " +
                           (parent / "logs" / "inbound. 7. 5.2003").string() + ": " +
                           std::strerror(ENOENT) + " (lines are kept and the file is tried again)");
    EXPECT_EQ(store_.GetLogEnabled(LogCategory::Inbound), 1);
    EXPECT_EQ(LineCount(Log("unknown. 7. 5.2003")), 2);

    // The switch-off never reaches the settings file.
    ASSERT_TRUE(store_.Save());
    CSettingsStore reloaded(store_.File(), [] { return std::vector<std::string>{}; });
    EXPECT_EQ(reloaded.GetLogEnabled(LogCategory::Inbound), 1);

    // Fixed within the pause, nothing is tried yet; after it, every held line lands in order.
    fs::create_directory(parent);
    clock_.Advance(std::chrono::milliseconds(500));
    logger.Log(Record(Category::Inbound, kMay7, 3));
    EXPECT_FALSE(fs::exists(parent / "logs"));
    clock_.Advance(std::chrono::milliseconds(500));
    logger.Retry();
    const std::string log = testing::ReadFile(parent / "logs" / "inbound. 7. 5.2003");
    EXPECT_EQ(log.find(kHeaderLine), 0u);
    EXPECT_EQ(LineCount(log), 4);
    EXPECT_LT(log.find(",1,inbound ftp"), log.find(",2,inbound ftp"));
    EXPECT_LT(log.find(",2,inbound ftp"), log.find(",3,inbound ftp"));
    EXPECT_EQ(notifier_->Messages().size(), 2u);
    EXPECT_EQ(MessagesWith("Inbound connection logging resumed in " +
                           (parent / "logs" / "inbound. 7. 5.2003").string()),
              1u);
}

// Logging stays on after a failure, so no message may claim it was switched off; the
// category word is lower case in all three, as in the file names.
TEST_F(ConnectionLoggerTest, EachCategoryHasItsOwnFailureMessage) {
    struct Case {
        LogCategory log;
        Category category;
        const char* word;
    };
    const Case cases[] = {{LogCategory::Inbound, Category::Inbound, "inbound"},
                          {LogCategory::Outbound, Category::Outbound, "outbound"},
                          {LogCategory::Unknown, Category::Unknown, "unknown"}};
    for (const Case& c : cases) {
        store_.SetLogFolder(c.log, (dir_.Path() / "gone" / c.word).string());
    }
    CConnectionLogger logger(store_, hub_);
    for (const Case& c : cases) {
        logger.Log(Record(c.category, kMay7));
    }

    const auto messages = notifier_->Messages();
    ASSERT_EQ(messages.size(), std::size(cases));
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const std::string path =
            (dir_.Path() / "gone" / cases[i].word).string() + "/" + cases[i].word + ". 7. 5.2003";
        EXPECT_EQ(messages[i], "Unable to open " + std::string(cases[i].word) +
                                   " connection logfile " + path + ": " + std::strerror(ENOENT) +
                                   " (lines are kept and the file is tried again)");
    }
}

TEST_F(ConnectionLoggerTest, NameThatIsNoFileIsRefusedOnceAndRetriedAfterAPause) {
    const fs::path blocked = dir_.Path() / "inbound. 7. 5.2003";
    fs::create_directory(blocked);
    CConnectionLogger logger(store_, hub_, Hooks());
    logger.Log(Record(Category::Inbound, kMay7, 1));
    logger.Log(Record(Category::Inbound, kMay7, 2));
    EXPECT_EQ(MessagesWith(blocked.string() + ": is not a regular file"), 1u);
    EXPECT_EQ(notifier_->Messages().size(), 1u);

    fs::remove(blocked);
    clock_.Advance(std::chrono::seconds(1));
    logger.Log(Record(Category::Inbound, kMay7, 3));
    const std::string log = Log("inbound. 7. 5.2003");
    EXPECT_EQ(log.find(kHeaderLine), 0u);
    EXPECT_EQ(LineCount(log), 4);
    EXPECT_NE(log.find(",1,inbound ftp\n"), std::string::npos);
}

TEST_F(ConnectionLoggerTest, LinkPlantedAtTheLogNameIsNotFollowed) {
    const std::string victim = install_ / "victim";
    std::ofstream(victim) << "secret\n";
    ::chmod(victim.c_str(), 0600);
    fs::create_symlink(victim, dir_ / "inbound. 7. 5.2003");
    fs::create_hard_link(victim, dir_ / "outbound. 7. 5.2003");

    CConnectionLogger logger(store_, hub_);
    logger.Log(Record(Category::Inbound, kMay7));
    logger.Log(Record(Category::Inbound, kMay7));
    logger.Log(Record(Category::Outbound, kMay7));
    logger.Log(Record(Category::Unknown, kMay7));

    EXPECT_EQ(testing::ReadFile(victim), "secret\n");
    EXPECT_TRUE(fs::is_symlink(dir_ / "inbound. 7. 5.2003"));
    EXPECT_EQ(MessagesWith("inbound. 7. 5.2003: is a symbolic link"), 1u);
    EXPECT_EQ(MessagesWith("outbound. 7. 5.2003: has 2 links"), 1u);
    EXPECT_EQ(notifier_->Messages().size(), 2u);
    EXPECT_EQ(store_.GetLogEnabled(LogCategory::Inbound), 1);
    EXPECT_EQ(LineCount(Log("unknown. 7. 5.2003")), 2);
}

TEST_F(ConnectionLoggerTest, FifoAtTheLogNameIsRefusedWithoutBlocking) {
    const fs::path fifo = dir_.Path() / "inbound. 7. 5.2003";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0) << std::strerror(errno);
    CConnectionLogger logger(store_, hub_);
    auto done = std::async(std::launch::async, [&] {
        logger.Log(Record(Category::Inbound, kMay7));
        logger.Log(Record(Category::Unknown, kMay7));
    });
    if (done.wait_for(std::chrono::seconds(3)) != std::future_status::ready) {
        // Let the stuck open through, so that the test ends.
        const UniqueFd reader(::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        done.wait();
        FAIL() << "the logger blocked opening a FIFO";
    }
    EXPECT_EQ(MessagesWith("inbound. 7. 5.2003: is not a regular file"), 1u);
    EXPECT_EQ(LineCount(Log("unknown. 7. 5.2003")), 2);
}

TEST_F(ConnectionLoggerTest, RemovedOrMovedFolderIsMadeAgainForTheNextLine) {
    CConnectionLogger logger(store_, hub_);
    logger.Log(Record(Category::Inbound, kMay7, 1));
    fs::remove_all(dir_.Path());
    logger.Log(Record(Category::Inbound, kMay7, 2));
    EXPECT_EQ(Log("inbound. 7. 5.2003").find(kHeaderLine), 0u);
    EXPECT_EQ(LineCount(Log("inbound. 7. 5.2003")), 2);
    EXPECT_NE(Log("inbound. 7. 5.2003").find(",2,inbound ftp"), std::string::npos);

    const fs::path moved = install_.Path() / "moved";
    fs::rename(dir_.Path(), moved);
    logger.Log(Record(Category::Inbound, kMay7, 3));
    EXPECT_EQ(LineCount(Log("inbound. 7. 5.2003")), 2);
    EXPECT_NE(Log("inbound. 7. 5.2003").find(",3,inbound ftp"), std::string::npos);
    EXPECT_EQ(LineCount(testing::ReadFile(moved / "inbound. 7. 5.2003")), 2);
    EXPECT_TRUE(notifier_->Messages().empty());
}

// Lines gathered for two files are written together; a file or folder removed or moved before
// that write is found out at the write, so every line still lands whole and in order in the file
// at its name, with the bytes a single line would have.
TEST_F(ConnectionLoggerTest, GatheredLinesLandInTheFileAtTheirNameWhenWritten) {
    enum class Change { None, RemoveFile, RemoveFolder, MoveFolder };
    const struct {
        const char* name;
        Change change;
    } cases[] = {{"none", Change::None},
                 {"file-removed", Change::RemoveFile},
                 {"folder-removed", Change::RemoveFolder},
                 {"folder-moved", Change::MoveFolder}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path in = dir_.Path() / c.name / "in";
        const fs::path out = dir_.Path() / c.name / "out";
        fs::create_directory(dir_.Path() / c.name);
        store_.SetLogFolder(LogCategory::Inbound, in.string());
        store_.SetLogFolder(LogCategory::Outbound, out.string());
        CConnectionLogger logger(store_, hub_);
        std::string inbound = kHeaderLine;
        std::string outbound = kHeaderLine;
        std::string inboundGathered;  // inbound lines not written yet
        // Open and close times spread over more seconds than the logger keeps texts for.
        const auto line = [&](Category category, int port, bool gather) {
            CConnectionRecord record = Record(category, kMay7 + port % 3, port);
            record.openTime = kMay7 - 7 * port;
            gather ? logger.Gather(record) : logger.Log(record);
            (category == Category::Inbound ? inbound : outbound) += record.CsvText() + "\n";
            if (gather && category == Category::Inbound) {
                inboundGathered += record.CsvText() + "\n";
            }
        };
        line(Category::Inbound, 1, false);
        line(Category::Outbound, 2, false);
        line(Category::Inbound, 3, true);
        line(Category::Outbound, 4, true);
        if (c.change != Change::None) {
            inbound = kHeaderLine + inboundGathered;  // the written line left with the old file
        }
        switch (c.change) {
            case Change::None:
                break;
            case Change::RemoveFile:
                fs::remove(in / "inbound. 7. 5.2003");
                break;
            case Change::RemoveFolder:
                fs::remove_all(in);
                break;
            case Change::MoveFolder:
                fs::rename(in, dir_.Path() / c.name / "moved");
                break;
        }
        for (int port = 5; port <= 9; ++port) {
            line(port % 2 == 1 ? Category::Inbound : Category::Outbound, port, true);
        }
        logger.Flush();
        EXPECT_EQ(testing::ReadFile(in / "inbound. 7. 5.2003"), inbound);
        EXPECT_EQ(testing::ReadFile(out / "outbound. 7. 5.2003"), outbound);
    }
    EXPECT_TRUE(notifier_->Messages().empty());
}

TEST_F(ConnectionLoggerTest, FolderIsMadeWhenItsFirstFileIsOpened) {
    const fs::path fresh = dir_.Path() / "fresh";
    store_.SetLogFolder(LogCategory::Outbound, fresh.string());
    CConnectionLogger logger(store_, hub_);
    EXPECT_FALSE(fs::exists(fresh));
    logger.Log(Record(Category::Outbound, kMay7));
    EXPECT_EQ(testing::ReadFile(fresh / "outbound. 7. 5.2003").find(kHeaderLine), 0u);
    EXPECT_TRUE(notifier_->Messages().empty());
}

TEST_F(ConnectionLoggerTest, OutOfRangeRotationAndFilterModeInTheFileLogWithTheDefaults) {
    // Values a hand edit may leave: each is reported at load and replaced by its default, so the
    // logger neither logs nothing nor builds an empty file name.
    const std::filesystem::path file = dir_.Path() / "edited.conf";
    std::ofstream(file) << "[Logging]\ninboundtype=99\ninboundports=80\noutbound=1\n"
                           "outboundrotation=7\nunknownrotation=-1\n"
                        << "inboundfolder=" << dir_.Path().string() << "\n"
                        << "outboundfolder=" << dir_.Path().string() << "\n"
                        << "unknownfolder=" << dir_.Path().string() << "\n";
    CSettingsStore edited(
        file, [] { return std::vector<std::string>{}; }, dir_.Path());
    const std::vector<std::string> warnings = edited.LoadWarnings();
    for (const char* key : {"inboundtype", "outboundrotation", "unknownrotation"}) {
        EXPECT_EQ(
            std::count_if(warnings.begin(), warnings.end(),
                          [key](const std::string& w) { return w.find(key) != std::string::npos; }),
            1)
            << key;
    }

    CConnectionLogger logger(edited, hub_);
    logger.Log(Record(Category::Outbound, kMay7));
    logger.Log(Record(Category::Unknown, kMay7));
    logger.Log(Record(Category::Inbound, kMay7, 25));  // type 1 logs every port
    EXPECT_EQ(LineCount(Log("outbound. 7. 5.2003")), 2);
    EXPECT_EQ(LineCount(Log("unknown. 7. 5.2003")), 2);
    EXPECT_EQ(LineCount(Log("inbound. 7. 5.2003")), 2);
}

TEST_F(ConnectionLoggerTest, FullDiskLeavesNoTornLineSaysSoOnceAndLosesNothing) {
    CConnectionLogger logger(store_, hub_, Hooks());
    logger.Log(Record(Category::Inbound, kMay7, 1));
    const std::string before = Log("inbound. 7. 5.2003");

    writer_.SetMode(testing::ScriptedWriter::Mode::Full, 10);
    logger.Log(Record(Category::Inbound, kMay7, 2));
    logger.Log(Record(Category::Inbound, kMay7, 3));
    EXPECT_EQ(Log("inbound. 7. 5.2003"), before);
    EXPECT_EQ(MessagesWith(std::strerror(ENOSPC)), 1u);
    EXPECT_EQ(notifier_->Messages().size(), 1u);

    writer_.SetMode(testing::ScriptedWriter::Mode::Pass);
    clock_.Advance(std::chrono::seconds(1));
    logger.Retry();
    const std::string log = Log("inbound. 7. 5.2003");
    EXPECT_EQ(log.find(before), 0u);
    EXPECT_EQ(LineCount(log), 4);
    EXPECT_LT(log.find(",2,inbound ftp\n"), log.find(",3,inbound ftp\n"));
    EXPECT_EQ(MessagesWith("Inbound connection logging resumed"), 1u);
}

// A 64 KiB tmpfs mounted for one test, unmounted at its end.
class SmallDisk {
public:
    explicit SmallDisk(const fs::path& where) : path_(where) {
        fs::create_directory(path_);
        if (::mount("tarvik-test", path_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV,
                    "size=64k,mode=0755") != 0) {
            error_ = errno;
        }
    }
    ~SmallDisk() {
        if (error_ == 0) {
            ::umount2(path_.c_str(), MNT_DETACH);
        }
    }
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;

    int Error() const { return error_; }

private:
    fs::path path_;
    int error_ = 0;
};

TEST_F(ConnectionLoggerTest, RealFullDiskKeepsEveryLineWholeAndInOrder) {
    const fs::path disk = dir_.Path() / "disk";
    SmallDisk small(disk);
    if (small.Error() != 0) {
        GTEST_SKIP() << "cannot mount a small tmpfs: " << std::strerror(small.Error());
    }
    // Room to free later, so that writing can resume.
    std::ofstream(disk / "filler", std::ios::binary) << std::string(16 * 1024, 'f');
    const fs::path logs = disk / "logs";
    store_.SetLogFolder(LogCategory::Inbound, logs.string());
    CConnectionLogger logger(store_, hub_, Hooks());

    int logged = 0;
    int afterFull = 0;
    // Bounded: 64 KiB holds well under 2000 lines.
    while (logged < 2000 && afterFull < 20) {
        logger.Log(Record(Category::Inbound, kMay7, ++logged));
        afterFull += notifier_->Messages().empty() ? 0 : 1;
    }
    ASSERT_EQ(afterFull, 20) << "the disk never filled";
    EXPECT_EQ(MessagesWith(std::strerror(ENOSPC)), 1u);
    const std::string full = testing::ReadFile(logs / "inbound. 7. 5.2003");
    ASSERT_FALSE(full.empty());
    EXPECT_EQ(full.back(), '\n');

    fs::remove(disk / "filler");
    clock_.Advance(std::chrono::seconds(1));
    logger.Retry();
    EXPECT_EQ(MessagesWith("Inbound connection logging resumed"), 1u);
    const std::string log = testing::ReadFile(logs / "inbound. 7. 5.2003");
    EXPECT_EQ(LineCount(log), logged + 1);
    std::istringstream lines(log);
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ(line + "\n", kHeaderLine);
    for (int port = 1; port <= logged && std::getline(lines, line); ++port) {
        ASSERT_EQ(std::count(line.begin(), line.end(), ','), 7) << line;
        ASSERT_NE(line.find("," + std::to_string(port) + ",inbound ftp"), std::string::npos)
            << "line " << port << ": " << line;
    }
}

TEST_F(ConnectionLoggerTest, RetryPauseDoublesUpToFiveMinutes) {
    CConnectionLogger logger(store_, hub_, Hooks());
    writer_.SetMode(testing::ScriptedWriter::Mode::Full);
    logger.Log(Record(Category::Inbound, kMay7));
    ASSERT_EQ(writer_.Calls(), 1);

    const int expectedPauses[] = {1, 2, 4, 8, 16, 32, 64, 128, 256, 300, 300};
    for (int pause : expectedPauses) {
        clock_.Advance(std::chrono::seconds(pause) - std::chrono::milliseconds(1));
        const int calls = writer_.Calls();
        logger.Retry();
        EXPECT_EQ(writer_.Calls(), calls) << "tried before a pause of " << pause << " s ran out";
        clock_.Advance(std::chrono::milliseconds(1));
        logger.Retry();
        EXPECT_EQ(writer_.Calls(), calls + 1) << "not tried after a pause of " << pause << " s";
    }
    EXPECT_EQ(notifier_->Messages().size(), 1u);
}

TEST_F(ConnectionLoggerTest, HeldBackLinesAreBoundedAndTheLossIsToldWhenWritingResumes) {
    CConnectionLogger logger(store_, hub_, Hooks());
    writer_.SetMode(testing::ScriptedWriter::Mode::Full);
    const int extra = 5;
    const int total = static_cast<int>(CCategoryLog::kMaxPendingLines) + extra;
    for (int i = 0; i < total; ++i) {
        logger.Log(Record(Category::Inbound, kMay7, i));
    }
    writer_.SetMode(testing::ScriptedWriter::Mode::Pass);
    clock_.Advance(std::chrono::seconds(1));
    logger.Retry();
    EXPECT_EQ(LineCount(Log("inbound. 7. 5.2003")),
              static_cast<long>(CCategoryLog::kMaxPendingLines) + 1);
    EXPECT_EQ(MessagesWith("5 inbound lines were lost"), 1u);
    // A line written as usual tells nothing; a second spell tells only its own losses.
    logger.Log(Record(Category::Inbound, kMay7, 1));
    EXPECT_EQ(MessagesWith("Inbound connection logging resumed"), 1u);
    writer_.SetMode(testing::ScriptedWriter::Mode::Full);
    for (int i = 0; i < static_cast<int>(CCategoryLog::kMaxPendingLines) + 2; ++i) {
        logger.Log(Record(Category::Inbound, kMay7, i));
    }
    writer_.SetMode(testing::ScriptedWriter::Mode::Pass);
    clock_.Advance(std::chrono::seconds(1));
    logger.Retry();
    EXPECT_EQ(MessagesWith("Inbound connection logging resumed"), 2u);
    EXPECT_EQ(MessagesWith("2 inbound lines were lost"), 1u);

    // Long lines meet the byte bound first.
    CConnectionRecord wide = Record(Category::Outbound, kMay7);
    wide.serviceText = std::string(4000, 'x');
    const std::size_t lineBytes = wide.CsvText().size();
    const std::size_t fits = CCategoryLog::kMaxPendingBytes / lineBytes;
    writer_.SetMode(testing::ScriptedWriter::Mode::Full);
    for (std::size_t i = 0; i < fits + 3; ++i) {
        logger.Log(wide);
    }
    writer_.SetMode(testing::ScriptedWriter::Mode::Pass);
    clock_.Advance(std::chrono::seconds(1));
    logger.Retry();
    EXPECT_EQ(LineCount(Log("outbound. 7. 5.2003")), static_cast<long>(fits) + 1);
    EXPECT_EQ(MessagesWith("3 outbound lines were lost"), 1u);
}

TEST_F(ConnectionLoggerTest, LinesStillHeldWhenLoggingEndsAreToldAsLost) {
    CConnectionLogger logger(store_, hub_, Hooks());
    writer_.SetMode(testing::ScriptedWriter::Mode::Full);
    logger.Log(Record(Category::Unknown, kMay7, 1));
    logger.Log(Record(Category::Unknown, kMay7, 2));
    const int calls = writer_.Calls();
    logger.Finish();
    EXPECT_EQ(writer_.Calls(), calls + 1);  // one last try, pause or not
    EXPECT_EQ(MessagesWith("2 unknown lines were lost"), 1u);
}

TEST_F(ConnectionLoggerTest, DefaultsLogInboundDailyIntoLogsUnderTheInstallFolder) {
    testing::TempDir install;
    CSettingsStore defaults(
        install.Path() / "Tarvik.conf", [] { return std::vector<std::string>{}; }, install.Path());
    CConnectionLogger logger(defaults, hub_);
    logger.Log(Record(Category::Inbound, kMay7));
    logger.Log(Record(Category::Outbound, kMay7));

    EXPECT_EQ(testing::ReadFile(install.Path() / "logs" / "inbound. 7. 5.2003").find(kHeaderLine),
              0u);
    EXPECT_FALSE(fs::exists(install.Path() / "logs" / "outbound. 7. 5.2003"));
}

// A line whose close second the maker holds in the slot it reuses next, while its open second is
// new: each time text in the line is its own, as in the record's CSV.
TEST(LogLineMakerTest, LinesMatchTheRecordsCsvWhateverTheTimesHeld) {
    CLogLineMaker maker;
    CConnectionRecord record;
    record.ipAddress = record.hostName = "10.0.0.7";
    record.closeTime = kMay7;
    for (int line = 0; line < 10; ++line) {
        record.openTime = kMay7 - 60 - line;
        std::string text;
        maker.Append(text, record);
        EXPECT_EQ(text, record.CsvText()) << "line " << line;
    }
}

}  // namespace
}  // namespace tarvik
