// The thread layer: each started thread runs its function with its argument,
// on a thread of its own, and ends without anyone joining it.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "orvix/utils/corvane/dispatchers/platform_thread.hpp"

using namespace std::chrono_literals;

namespace {

struct Started {
    int index;
    std::promise<std::pair<int, std::thread::id>> ran;
};

void report(void* arg)
{
    auto* started = static_cast<Started*>(arg);
    started->ran.set_value({started->index, std::this_thread::get_id()});
}

}  // namespace

TEST(PlatformThread, RunsEachFunctionWithItsArgumentOnANewThread)
{
    constexpr int kThreads = 8;
    Started started[kThreads];
    std::future<std::pair<int, std::thread::id>> done[kThreads];
    for (int i = 0; i < kThreads; ++i) {
        started[i].index = i;
        done[i] = started[i].ran.get_future();
        ASSERT_EQ(orvix::corvane::start_detached_thread(&report, &started[i]), "");
    }
    for (int i = 0; i < kThreads; ++i) {
        ASSERT_EQ(done[i].wait_for(30s), std::future_status::ready) << "thread " << i << " never ran";
        const auto [index, id] = done[i].get();
        EXPECT_EQ(index, i);
        EXPECT_NE(id, std::this_thread::get_id());
    }
}
