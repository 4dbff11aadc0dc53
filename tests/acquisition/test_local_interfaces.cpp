#include "acquisition/LocalInterfaces.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

namespace tarvik {
namespace {

bool Has(const std::vector<LocalInterface>& list, const LocalInterface& wanted) {
    return std::find(list.begin(), list.end(), wanted) != list.end();
}

TEST(LocalInterfacesTest, LoopbackIsListedByNameWithItsAddressesOfBothFamilies) {
    const std::vector<LocalInterface> interfaces = ListLocalInterfaces();
    EXPECT_TRUE(Has(interfaces, {"lo", "127.0.0.1"}));
    // ::1 exists wherever IPv6 is on; the kernel says so in /proc/net/if_inet6.
    std::ifstream inet6("/proc/net/if_inet6");
    std::string line;
    bool loopbackV6 = false;
    while (std::getline(inet6, line)) {
        loopbackV6 = loopbackV6 || line.rfind("00000000000000000000000000000001", 0) == 0;
    }
    if (!loopbackV6) {
        GTEST_SKIP() << "IPv6 loopback is not configured here";
    }
    EXPECT_TRUE(Has(interfaces, {"lo", "::1"}));
}

TEST(LocalInterfacesTest, TheFilterListHoldsEachAddressOnceWithoutTheAnyAddresses) {
    const std::vector<LocalInterface> interfaces = {
        {"lo", "127.0.0.1"}, {"lo", "::1"},           {"eth0", "192.0.2.2"}, {"dummy", "0.0.0.0"},
        {"six", "::"},       {"eth0", "2001:db8::2"}, {"eth1", "192.0.2.2"},
    };
    EXPECT_EQ(InterfaceAddressTexts(interfaces),
              (std::vector<std::string>{"127.0.0.1", "::1", "192.0.2.2", "2001:db8::2"}));
    EXPECT_TRUE(InterfaceAddressTexts({}).empty());

    const auto kernel = ListKernelInterfaceAddresses();
    EXPECT_NE(std::find(kernel.begin(), kernel.end(), "127.0.0.1"), kernel.end());
    EXPECT_EQ(std::find(kernel.begin(), kernel.end(), "0.0.0.0"), kernel.end());
}

}  // namespace
}  // namespace tarvik
