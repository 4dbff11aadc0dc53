#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "mail/MailHost.h"

namespace tarvik {
namespace {

struct HostCase {
    std::string text;
    std::optional<MailHostAddress> expected;
};

TEST(MailHost, SettingTextGivesHostAndPort) {
    const HostCase cases[] = {
        {"mail.example.org", MailHostAddress{"mail.example.org", 25}},
        {"127.0.0.1", MailHostAddress{"127.0.0.1", 25}},
        {"127.0.0.1:2525", MailHostAddress{"127.0.0.1", 2525}},
        {"mail.example.org:587", MailHostAddress{"mail.example.org", 587}},
        {"[::1]:2525", MailHostAddress{"::1", 2525}},
        {"[2001:db8::25]", MailHostAddress{"2001:db8::25", 25}},
        {"2001:db8::25", MailHostAddress{"2001:db8::25", 25}},  // no brackets, no port
        {"  relay:26 ", MailHostAddress{"relay", 26}},
        {"", MailHostAddress{"", 25}},
        {"host:65535", MailHostAddress{"host", 65535}},
        {"host:", std::nullopt},
        {"host:0", std::nullopt},
        {"host:65536", std::nullopt},
        {"host:25x", std::nullopt},
        {"host:-25", std::nullopt},
        {"host: 25", std::nullopt},
        {"[::1", std::nullopt},
        {"[::1]2525", std::nullopt},
        {"[::1]:", std::nullopt},
    };
    for (const HostCase& c : cases) {
        EXPECT_EQ(ParseMailHost(c.text, 25), c.expected) << '"' << c.text << '"';
    }
    // The default port is the caller's.
    EXPECT_EQ(ParseMailHost("relay", 2600), (MailHostAddress{"relay", 2600}));
    EXPECT_EQ(ParseMailHost("relay:26", 2600), (MailHostAddress{"relay", 26}));
}

TEST(MailHost, SenderDomainDropsThePortAndWritesAnAddressAsItsLiteral) {
    const std::pair<const char*, const char*> cases[] = {
        {"corp.example", "corp.example"},
        {"corp.example:2525", "corp.example"},
        {"127.0.0.1", "[127.0.0.1]"},
        {"127.0.0.1:2525", "[127.0.0.1]"},
        {"[::1]:2525", "[IPv6:::1]"},
        {"2001:DB8:0::5", "[IPv6:2001:db8::5]"},
        {"[fe80::1%eth0]", "[IPv6:fe80::1]"},
        {"10.1", "10.1"},  // no address in dotted-quad form: a name as far as mail goes
        {"", ""},
        {"host:bad", "host:bad"},  // not a port: kept as written
    };
    for (const auto& [setting, domain] : cases) {
        EXPECT_EQ(MailDomain(setting), domain) << setting;
    }
}

}  // namespace
}  // namespace tarvik
