#include <gtest/gtest.h>
#include <sys/resource.h>

#include "app/ProcessLimits.h"

namespace tarvik {
namespace {

TEST(ProcessLimitsTest, SoftDescriptorLimitIsRaisedToTheHardOne) {
    rlimit original{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &original), 0);
    if (original.rlim_max != RLIM_INFINITY && original.rlim_max <= 64) {
        GTEST_SKIP() << "the hard descriptor limit here is too low to lower the soft one";
    }
    rlimit lowered = original;
    lowered.rlim_cur = 64;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);

    std::string error;
    const auto raised = RaiseDescriptorLimit(&error);
    ASSERT_TRUE(raised) << error;
    rlimit now{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &now), 0);
    EXPECT_EQ(now.rlim_cur, *raised);
    EXPECT_GT(now.rlim_cur, 64u);
    if (original.rlim_max != RLIM_INFINITY) {
        EXPECT_EQ(now.rlim_cur, original.rlim_max);
    }
    // Raising again changes nothing.
    EXPECT_EQ(RaiseDescriptorLimit(&error), raised);
    setrlimit(RLIMIT_NOFILE, &original);
}

}  // namespace
}  // namespace tarvik
