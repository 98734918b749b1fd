#include "base/parallel_work.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

TEST(RunOnTwoThreads, RunsEachIndexOnceOnTwoThreads) {
    for (const size_t count : {0u, 1u, 2u, 257u}) {
        std::mutex guard;
        std::multiset<size_t> ran;
        std::set<std::thread::id> threads;
        RunOnTwoThreads(count, [&](size_t i) {
            // Long enough that the second thread takes a share.
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            std::lock_guard<std::mutex> lock(guard);
            ran.insert(i);
            threads.insert(std::this_thread::get_id());
        });
        EXPECT_EQ(ran.size(), count);
        for (size_t i = 0; i < count; ++i) EXPECT_EQ(ran.count(i), 1u) << i;
        // A thread takes a few milliseconds to start: only a long run shows both.
        if (count > 100) {
            EXPECT_EQ(threads.size(), 2u);
        }
    }
}

TEST(RunOnTwoThreads, AFailureStopsTheWorkAndIsRaisedOnce) {
    std::atomic<size_t> ran{0};
    // Each piece takes a millisecond, so a loaded machine that pauses the
    // failing thread cannot let the other one finish all the rest first.
    EXPECT_THROW(RunOnTwoThreads(1000,
                                 [&](size_t i) {
                                     ++ran;
                                     if (i == 3) throw std::runtime_error("failed");
                                     std::this_thread::sleep_for(std::chrono::milliseconds(1));
                                 }),
                 std::runtime_error);
    EXPECT_LT(ran.load(), 1000u);
}
