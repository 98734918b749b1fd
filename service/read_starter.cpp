#include "service/read_starter.h"

#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>

struct ReadStarter::State {
    std::mutex mutex;
    std::condition_variable wake;
    std::function<void(DWORD)> failed;
    HINTERNET request = nullptr;
    char* buffer = nullptr;
    DWORD size = 0;
    bool pending = false;   // a read asked for and not yet started
    bool starting = false;  // WinHttpReadData under way
    bool finished = false;
    WinHttpHandle closing;  // handed over while a call was under way
};

void ReadStarter::StartReads(const std::shared_ptr<State>& state) {
    std::unique_lock<std::mutex> lock(state->mutex);
    for (;;) {
        state->wake.wait(lock, [&] { return state->pending || state->finished; });
        if (state->finished) {
            return;
        }
        state->pending = false;
        state->starting = true;
        HINTERNET request = state->request;
        char* buffer = state->buffer;
        const DWORD size = state->size;
        lock.unlock();
        const BOOL started = WinHttpReadData(request, buffer, size, nullptr);
        const DWORD error = started ? ERROR_SUCCESS : GetLastError();
        lock.lock();
        state->starting = false;
        if (state->finished) {
            state->closing.reset();
            return;
        }
        if (!started) {
            state->failed(error);
        }
    }
}

ReadStarter::ReadStarter(std::function<void(DWORD error)> failed)
    : state_(std::make_shared<State>()) {
    state_->failed = std::move(failed);
    // Never joined: a call that Wine holds ends only with the connection.
    std::thread(StartReads, state_).detach();
}

ReadStarter::~ReadStarter() { Finish(WinHttpHandle()); }

void ReadStarter::Start(HINTERNET request, char* buffer, DWORD size) {
    {
        const std::lock_guard<std::mutex> hold(state_->mutex);
        state_->request = request;
        state_->buffer = buffer;
        state_->size = size;
        state_->pending = true;
    }
    state_->wake.notify_one();
}

void ReadStarter::Finish(WinHttpHandle request) {
    {
        const std::lock_guard<std::mutex> hold(state_->mutex);
        if (state_->finished) {
            return;
        }
        state_->finished = true;
        if (state_->starting) {
            state_->closing = std::move(request);
        }
    }
    state_->wake.notify_one();
    // `request`, when still here, closes now.
}
