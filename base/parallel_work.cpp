#include "base/parallel_work.h"

#include <atomic>
#include <exception>
#include <thread>

void RunOnTwoThreads(size_t count, const std::function<void(size_t)>& work) {
    std::atomic<size_t> next{0};
    std::exception_ptr failures[2];
    const auto run = [&](std::exception_ptr& failure) {
        try {
            for (size_t i = next++; i < count; i = next++) work(i);
        } catch (...) {
            failure = std::current_exception();
            next = count;
        }
    };
    if (count < 2) {
        run(failures[0]);
    } else {
        std::thread helper(run, std::ref(failures[1]));
        run(failures[0]);
        helper.join();
    }
    for (const std::exception_ptr& failure : failures) {
        if (failure) std::rethrow_exception(failure);
    }
}
