#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "acquisition/Address.h"

namespace tarvik {
namespace {

TEST(AddressRange, ParsesAddressesAndRangesOfBothFamilies) {
    struct Case {
        const char* text;
        const char* canonical;  // nullptr: refused
    };
    const std::vector<Case> cases = {
        {"192.0.2.7", "192.0.2.7"},
        {" 192.0.2.7\t", "192.0.2.7"},
        {"192.0.2.7/24", "192.0.2.0/24"},
        {"10.0.0.0/8", "10.0.0.0/8"},
        {"0.0.0.0/0", "0.0.0.0/0"},
        {"192.0.2.7/32", "192.0.2.7"},
        {"2001:DB8::7", "2001:db8::7"},
        {"2001:db8::/32", "2001:db8::/32"},
        {"fd00::1/64", "fd00::/64"},
        {"::/0", "::/0"},
        {"192.0.2.7/33", nullptr},
        {"2001:db8::/129", nullptr},
        {"192.0.2.7/", nullptr},
        {"192.0.2.7/-1", nullptr},
        {"192.0.2.7/08", nullptr},
        {"192.0.2.7/ 8", nullptr},
        {"192.0.2", nullptr},
        {"host.example.org", nullptr},
        {"fe80::1%eth0", nullptr},
        {"", nullptr},
        {"1.2.3.4 5", nullptr},
    };
    for (const Case& c : cases) {
        const std::optional<AddressRange> range = AddressRange::Parse(c.text);
        EXPECT_EQ(range ? range->Text() : "(refused)", c.canonical ? c.canonical : "(refused)")
            << c.text;
    }
}

TEST(AddressRange, HoldsTheAddressesUnderItsPrefix) {
    struct Case {
        const char* range;
        const char* address;
        bool inside;
    };
    const std::vector<Case> cases = {
        {"192.0.2.0/24", "192.0.2.255", true},
        {"192.0.2.0/24", "192.0.3.0", false},
        {"192.0.2.0/23", "192.0.3.9", true},
        {"10.0.0.0/8", "::ffff:10.1.2.3", true},  // the mapped form of an IPv4 peer
        {"10.0.0.0/8", "::10.1.2.3", false},
        {"0.0.0.0/0", "203.0.113.1", true},
        {"0.0.0.0/0", "2001:db8::1", false},
        {"192.0.2.7", "192.0.2.7", true},
        {"192.0.2.7", "192.0.2.70", false},
        {"2001:db8::/32", "2001:db8:ffff::1", true},
        {"2001:db8::/33", "2001:db8:8000::1", false},
        {"::ffff:0:0/96", "198.51.100.1", true},
        {"2001:db8::1", "2001:DB8:0::1", true},
        {"192.0.2.0/24", "not an address", false},
    };
    for (const Case& c : cases) {
        const std::optional<AddressRange> range = AddressRange::Parse(c.range);
        ASSERT_TRUE(range.has_value()) << c.range;
        EXPECT_EQ(range->Contains(std::string(c.address)), c.inside) << c.range << " " << c.address;
    }
}

TEST(AddressRange, ListsKeepWhatParsesAndNameTheRest) {
    std::vector<std::string> rejected;
    const AddressRanges ranges =
        ParseAddressRanges({"127.0.0.1", " 10.0.0.0/8", "nonsense", "::1"}, &rejected);
    EXPECT_EQ(ranges.size(), 3u);
    EXPECT_EQ(rejected, std::vector<std::string>{"nonsense"});
    EXPECT_TRUE(AnyContains(ranges, "10.200.0.1"));
    EXPECT_TRUE(AnyContains(ranges, "::1"));
    EXPECT_FALSE(AnyContains(ranges, "192.0.2.1"));
    EXPECT_FALSE(AnyContains({}, "10.0.0.1"));
}

}  // namespace
}  // namespace tarvik
