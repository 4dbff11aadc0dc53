#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "app/EventFile.h"

namespace tarvik {
namespace {

std::vector<std::string> Lines(const std::filesystem::path& file) {
    std::vector<std::string> lines;
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

class EventFileTest : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tarvik-event-file-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::filesystem::path dir_;
    std::vector<std::string> reports_;
    CEventFile::Report Reports() {
        return [this](const std::string& text) { reports_.push_back(text); };
    }
};

TEST_F(EventFileTest, RotatesBeforeTheLimitAndFormatsEachLine) {
    const std::filesystem::path file = dir_ / "sub" / "events.jsonl";
    {
        CEventFile events(
            64, [](std::string_view line) { return "<" + std::string(line) + ">"; }, Reports());
        events.Reopen(file, 100);
        for (int i = 0; i < 12; ++i) {
            EXPECT_TRUE(events.Offer("line " + std::string(12, 'a' + i)));
        }
    }  // written at the stop
    const std::vector<std::string> current = Lines(file);
    const std::vector<std::string> previous = Lines(file.string() + ".1");
    ASSERT_FALSE(current.empty());
    ASSERT_FALSE(previous.empty());
    EXPECT_EQ(current.back(), "<line llllllllllll>");
    EXPECT_EQ(previous.back().size() + 1, 20u);
    EXPECT_LE(std::filesystem::file_size(file), 100u);
    EXPECT_LE(std::filesystem::file_size(file.string() + ".1"), 100u);
    EXPECT_TRUE(reports_.empty());
}

TEST_F(EventFileTest, RefusesWhatTheLogsRefuseAndCountsTheLinesItCouldNotWrite) {
    const std::filesystem::path target = dir_ / "target";
    std::ofstream(target) << "keep\n";
    const struct {
        const char* name;
        void (*plant)(const std::filesystem::path& at, const std::filesystem::path& target);
        const char* reason;
    } cases[] = {
        {"symbolic link",
         [](const auto& at, const auto& to) { std::filesystem::create_symlink(to, at); },
         "is a symbolic link"},
        {"hard link",
         [](const auto& at, const auto& to) { std::filesystem::create_hard_link(to, at); },
         "has 2 links"},
        {"folder", [](const auto& at, const auto&) { std::filesystem::create_directory(at); },
         "not a regular file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        reports_.clear();
        const std::filesystem::path file = dir_ / c.name;
        c.plant(file, target);
        {
            CEventFile events(8, {}, Reports());
            events.Reopen(file, 1 << 20);
            EXPECT_TRUE(events.Offer("one"));
            EXPECT_TRUE(events.Offer("two"));
            events.Reopen(file, 1 << 20);  // told again after a reopen, not for every line
            EXPECT_TRUE(events.Offer("three"));
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (events.Lost() < 3 && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            EXPECT_EQ(events.Lost(), 3u);
            events.Reopen("", 1 << 20);
            EXPECT_FALSE(events.Offer("no file set, so none lost"));
            EXPECT_EQ(events.Lost(), 3u);
        }
        EXPECT_EQ(Lines(target), std::vector<std::string>{"keep"});
        ASSERT_FALSE(reports_.empty());
        EXPECT_LE(reports_.size(), 2u);
        EXPECT_NE(reports_.front().find(c.reason), std::string::npos) << reports_.front();
    }
}

}  // namespace
}  // namespace tarvik
