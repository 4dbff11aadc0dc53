#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <functional>
#include <thread>

#include "base/UniqueFd.h"
#include "base/WaitSet.h"

namespace tarvik {
namespace {

using std::chrono::milliseconds;

constexpr milliseconds kNoWait{0};

TEST(WaitSetTest, ReportsWhatFiredOnceUntilItFiresAgain) {
    CWaitSet waits;
    ASSERT_TRUE(waits.Valid());
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    const UniqueFd read(ends[0]), write(ends[1]);
    const WaitKey readable = waits.Watch(read.Get(), POLLIN);
    const WaitKey timer = waits.AddTimer();
    EXPECT_TRUE(waits.Wait(kNoWait).timedOut) << "a timer not armed never fires";

    struct Case {
        const char* name;
        std::function<void()> fire;
        std::function<bool(const CWaitSet::Result&)> seen;
        bool staysReady;  // a descriptor is ready until read; a wake or a timer is reported once
    };
    const Case cases[] = {
        {"two wakes", [&] { waits.Wake(), waits.Wake(); },
         [](const CWaitSet::Result& r) { return r.woken && r.ready.empty(); }, false},
        {"timer at once", [&] { waits.Arm(timer, kNoWait); },
         [&](const CWaitSet::Result& r) { return r.Has(timer) && !r.Has(readable); }, false},
        {"readable pipe", [&] { ASSERT_EQ(::write(write.Get(), "x", 1), 1); },
         [&](const CWaitSet::Result& r) {
             return r.ready.size() == 1 && r.ready[0].fd == read.Get() &&
                    (r.ready[0].events & POLLIN) != 0;
         },
         true},
    };
    for (const Case& c : cases) {
        c.fire();
        // No timeout: a source that does not wake the wait hangs the test.
        const CWaitSet::Result& first = waits.Wait();
        EXPECT_TRUE(c.seen(first) && !first.stopped && !first.timedOut) << c.name;
        EXPECT_EQ(waits.Wait(kNoWait).timedOut, !c.staysReady) << c.name;
    }
    // A descriptor switched off is not waited on, although it is ready.
    waits.Enable(readable, false);
    EXPECT_TRUE(waits.Wait(kNoWait).timedOut);
    waits.Enable(readable, true);
    EXPECT_TRUE(waits.Wait(kNoWait).Has(readable));
    EXPECT_FALSE(waits.PauseUnlessStopped(kNoWait));
}

TEST(WaitSetTest, AStopFromAnotherThreadEndsEveryWaitForGood) {
    CWaitSet waits;
    ASSERT_TRUE(waits.Valid());
    std::thread stopper([&] { waits.Stop(); });
    // Neither wait has a limit: only the stop can end them.
    EXPECT_TRUE(waits.Wait().stopped);
    stopper.join();
    EXPECT_TRUE(waits.Stopped());
    EXPECT_TRUE(waits.Wait().stopped) << "a stop is not used up by the wait that saw it";
    EXPECT_TRUE(waits.PauseUnlessStopped(std::chrono::hours(1)));
}

}  // namespace
}  // namespace tarvik
