#pragma once

#include <functional>
#include <memory>

#include "base/scoped_handle.h"

// Starts the reads of one WinHTTP request from a thread of its own. Wine
// answers an asynchronous WinHttpReadData in the caller's thread whenever it
// holds some of the body already, and then waits there until the whole read
// is filled: on a line that turns to a trickle after some MiB, that is days.
// Windows returns at once; either way the caller's waits keep their deadlines.
class ReadStarter {
  public:
    // `failed` is called on the starting thread with the error of a read that
    // did not start.
    explicit ReadStarter(std::function<void(DWORD error)> failed);
    ReadStarter(const ReadStarter&) = delete;
    ReadStarter& operator=(const ReadStarter&) = delete;
    ~ReadStarter();

    // WinHttpReadData(request, buffer, size) on the thread; its end arrives
    // through the request's status callback.
    void Start(HINTERNET request, char* buffer, DWORD size);

    // Closes the request: now when no read is being started, else once that
    // call returns (a call under way must not meet a closed handle). Ends the
    // thread.
    void Finish(WinHttpHandle request);

  private:
    struct State;
    static void StartReads(const std::shared_ptr<State>& state);

    std::shared_ptr<State> state_;
};
