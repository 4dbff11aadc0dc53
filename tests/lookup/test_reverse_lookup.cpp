#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "acquisition/ConnectionRecord.h"
#include "lookup/HostNameCache.h"
#include "lookup/NameResolver.h"

namespace tarvik {
namespace {

// Answers from a table and remembers every address it was asked for.
class TableResolver : public INameResolver {
public:
    TableResolver(std::map<std::string, std::string> names, std::vector<std::string>& asked)
        : names_(std::move(names)), asked_(asked) {}

    std::optional<std::string> Resolve(const std::string& ipv4Text) override {
        asked_.push_back(ipv4Text);
        if (auto found = names_.find(ipv4Text); found != names_.end()) {
            return found->second;
        }
        return std::nullopt;
    }

private:
    std::map<std::string, std::string> names_;
    std::vector<std::string>& asked_;
};

class HostNameCacheTest : public ::testing::Test {
protected:
    CHostNameCache MakeCache(std::map<std::string, std::string> names) {
        return CHostNameCache(std::make_unique<TableResolver>(std::move(names), asked));
    }
    std::vector<std::string> asked;
};

TEST_F(HostNameCacheTest, LooksEachAddressUpOnceAndKeepsTheNameAsReceived) {
    auto cache = MakeCache({{"10.0.0.7", "Mail.Example.ORG"}});
    EXPECT_EQ(cache.Lookup("10.0.0.7"), "Mail.Example.ORG");
    EXPECT_EQ(cache.Lookup("10.0.0.7"), "Mail.Example.ORG");
    EXPECT_EQ(asked, (std::vector<std::string>{"10.0.0.7"}));
    EXPECT_EQ(cache.Size(), 1u);
}

TEST_F(HostNameCacheTest, ListeningPortNeedsNoLookupAndGetsNoAnswer) {
    auto cache = MakeCache({{"n/a", "should-not-be-asked"}});
    EXPECT_EQ(cache.Lookup("n/a"), std::nullopt);
    EXPECT_TRUE(asked.empty());
    EXPECT_EQ(cache.Size(), 0u);
}

TEST_F(HostNameCacheTest, UnresolvedAddressAnswersNothingFirstThenItsOwnText) {
    auto cache = MakeCache({{"10.0.0.8", ""}});
    EXPECT_EQ(cache.Lookup("10.0.0.9"), std::nullopt);
    EXPECT_EQ(cache.Lookup("10.0.0.9"), "10.0.0.9");
    EXPECT_EQ(cache.Lookup("10.0.0.9"), "10.0.0.9");
    // An empty name is no name.
    EXPECT_EQ(cache.Lookup("10.0.0.8"), std::nullopt);
    EXPECT_EQ(cache.Lookup("10.0.0.8"), "10.0.0.8");
    EXPECT_EQ(asked, (std::vector<std::string>{"10.0.0.9", "10.0.0.8"}));
}

TEST_F(HostNameCacheTest, NameThatWouldBreakALogLineIsMendedBeforeCaching) {
    auto cache = MakeCache({{"10.0.0.7", "evil\r\nhost,2\x01\x7f\tx.example"}});
    EXPECT_EQ(cache.Lookup("10.0.0.7"), "evil??host?2???x.example");
    EXPECT_EQ(cache.Lookup("10.0.0.7"), "evil??host?2???x.example");
}

TEST_F(HostNameCacheTest, StoresLookupsMadeElsewhereAsItsOwn) {
    CHostNameCache cache(nullptr);
    EXPECT_EQ(cache.Find("10.0.0.7"), std::nullopt);
    EXPECT_EQ(cache.Store("10.0.0.7", "Bad,Name\n"), "Bad?Name?");
    EXPECT_EQ(cache.Find("10.0.0.7"), "Bad?Name?");
    EXPECT_EQ(cache.Store("10.0.0.9", std::nullopt), std::nullopt);
    EXPECT_EQ(cache.Find("10.0.0.9"), "10.0.0.9");
    EXPECT_EQ(cache.Lookup("10.0.0.9"), "10.0.0.9");
    EXPECT_EQ(cache.Size(), 2u);
}

TEST(SanitizeHostNameTest, KeepsTheHostNameAlphabetAndMarksEveryOtherByte) {
    const std::pair<std::string, std::string> names[] = {
        {"Host-1.example_lab.com.", "Host-1.example_lab.com."},
        {"h\xe9te", "h?te"},
        {"h\xc3\xa9te", "h??te"},
        {std::string("a\0b", 3), "a?b"},
        {" ", "?"},
        {"=1+2;\"x\"@y", "?1?2??x??y"},
    };
    for (const auto& [raw, clean] : names) {
        EXPECT_EQ(SanitizeHostName(raw), clean) << raw;
    }
}

// Runs the system's name service through the cache, as the lookup worker does, in a child that
// sees `hosts` as its /etc/hosts. The name, or "skip: " and why the child could not set up.
std::string ResolveWithHostsFile(const std::string& hosts, const std::string& address) {
    const auto file =
        std::filesystem::temp_directory_path() / ("tarvik-hosts-" + std::to_string(::getpid()));
    std::ofstream(file) << hosts;
    int out[2];
    if (::pipe(out) != 0) {
        return "skip: no pipe";
    }
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(out[0]);
        std::string answer;
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount(file.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0) {
            answer = std::string("skip: no mount namespace: ") + std::strerror(errno);
        } else {
            CHostNameCache cache(std::make_unique<CSystemNameResolver>());
            answer = cache.Lookup(address).value_or("no answer");
        }
        const bool written =
            ::write(out[1], answer.data(), answer.size()) == static_cast<ssize_t>(answer.size());
        ::_exit(written ? 0 : 1);
    }
    ::close(out[1]);
    std::string answer;
    char buffer[256];
    for (ssize_t count; (count = ::read(out[0], buffer, sizeof buffer)) > 0;) {
        answer.append(buffer, static_cast<std::size_t>(count));
    }
    ::close(out[0]);
    ::waitpid(child, nullptr, 0);
    std::filesystem::remove(file);
    return answer;
}

TEST(SystemNameResolverTest, AHostsFileNameThatWouldSplitALogLineIsMended) {
    const std::string name =
        ResolveWithHostsFile("127.0.0.77 evil,10.0.0.1,=cmd|x\"\xff\n", "127.0.0.77");
    if (name.starts_with("skip: ")) {
        GTEST_SKIP() << name.substr(6);
    }
    EXPECT_EQ(name, "evil?10.0.0.1??cmd?x??");
    CConnectionRecord record;
    record.hostName = name;
    const std::string line = record.CsvText();
    EXPECT_EQ(std::count(line.begin(), line.end(), ','), 7) << line;
}

TEST(SystemNameResolverTest, RejectsTextThatIsNoIpv4Address) {
    CSystemNameResolver resolver;
    EXPECT_EQ(resolver.Resolve("n/a"), std::nullopt);
    EXPECT_EQ(resolver.Resolve("300.1.1.1"), std::nullopt);
    EXPECT_EQ(resolver.Resolve(""), std::nullopt);
}

bool HostsFileNames(const std::string& address) {
    std::ifstream hosts("/etc/hosts");
    std::string line;
    while (std::getline(hosts, line)) {
        if (line.rfind(address + " ", 0) == 0 || line.rfind(address + "\t", 0) == 0) {
            return true;
        }
    }
    return false;
}

TEST(SystemNameResolverTest, ResolvesLoopbackFromTheHostsFile) {
    if (!HostsFileNames("127.0.0.1")) {
        GTEST_SKIP() << "/etc/hosts does not name 127.0.0.1";
    }
    CSystemNameResolver resolver;
    const auto name = resolver.Resolve("127.0.0.1");
    ASSERT_TRUE(name.has_value());
    EXPECT_NE(*name, "127.0.0.1");
    EXPECT_FALSE(name->empty());
}

// The first name /etc/hosts gives an address, or nothing: a lookup answered from it needs no
// name server.
std::optional<std::string> HostsFileName(const std::string& address) {
    std::ifstream hosts("/etc/hosts");
    for (std::string line; std::getline(hosts, line);) {
        std::istringstream fields(line.substr(0, line.find('#')));
        std::string first;
        std::string name;
        if (fields >> first >> name && first == address) {
            return name;
        }
    }
    return std::nullopt;
}

TEST(SystemNameResolverTest, LooksUpIpv6AddressesAndRefusesWhatIsNoAddress) {
    CSystemNameResolver resolver;
    EXPECT_FALSE(resolver.Resolve("n/a"));
    EXPECT_FALSE(resolver.Resolve("10.0.0.300"));
    EXPECT_FALSE(resolver.Resolve("::1::2"));
    const auto expected = HostsFileName("::1");
    if (!expected) {
        GTEST_SKIP() << "/etc/hosts names no ::1 here, and a name server must not be asked";
    }
    EXPECT_EQ(resolver.Resolve("::1"), expected);
}

}  // namespace
}  // namespace tarvik
