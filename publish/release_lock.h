#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>

// The release folder's writer lock: the file ".lock" in the folder, held with
// flock(2) for as long as one writing command runs, so the kernel releases it
// when that process ends in any way (a lock left by a killed run is never in
// the way). The file holds the holder's process id and start time, for the
// refusal's sentence only. It never leaves the release machine.
class ReleaseLock {
  public:
    // Takes the lock or refuses (std::runtime_error) when another run holds
    // it. A missing folder is refused, or with `create` made; a folder made
    // here is removed again by the destructor if nothing but the lock was
    // written into it. Then removes what killed runs left in ".incoming/"
    // (no other writer can be using it).
    ReleaseLock(const std::filesystem::path& folder, bool create);
    ~ReleaseLock();
    ReleaseLock(const ReleaseLock&) = delete;
    ReleaseLock& operator=(const ReleaseLock&) = delete;

  private:
    std::filesystem::path folder_;
    int fd_ = -1;
    bool createdFolder_ = false;
};

// Runs `write` under the writer lock of an existing folder. Every writing
// command holds the lock for its whole run, so code it calls is already
// under it; asked for again by this process, the lock is not taken twice.
void WithReleaseLock(const std::filesystem::path& folder, const std::function<void()>& write);

// The lock's file name, and whether some run holds it now (for dry runs and
// status, which never take it).
extern const char ReleaseLockFile[];
bool ReleaseLockIsHeld(const std::filesystem::path& folder);

// What killed runs left in ".incoming/": files and bytes.
struct Leftovers {
    uint64_t files = 0;
    uint64_t bytes = 0;
};
Leftovers IncomingLeftovers(const std::filesystem::path& folder);
