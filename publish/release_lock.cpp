#include "publish/release_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <ctime>
#include <fstream>
#include <iterator>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>

namespace fs = std::filesystem;

const char ReleaseLockFile[] = ".lock";

namespace {

constexpr char IncomingFolder[] = ".incoming";

constexpr int NameWaits = 40;
constexpr auto NameWait = std::chrono::milliseconds(50);

// The holder writes its name just after it takes the lock and clears it when
// it lets go, so an empty file is a holder about to write it: wait a little.
std::string HolderOf(const fs::path& lock) {
    for (int wait = 0; wait < NameWaits; ++wait) {
        std::ifstream in(lock);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        if (!text.empty()) return text;
        std::this_thread::sleep_for(NameWait);
    }
    return "another run";
}

// The folders this process holds the lock of, so code called under a
// command's lock can ask for it again without refusing itself.
std::set<fs::path>& HeldHere() {
    static std::set<fs::path> folders;
    return folders;
}

fs::path Canonical(const fs::path& folder) {
    std::error_code error;
    const fs::path canonical = fs::weakly_canonical(folder, error);
    return error ? folder : canonical;
}

bool SameFile(int fd, const fs::path& path) {
    struct stat open {
    }, named{};
    return ::fstat(fd, &open) == 0 && ::stat(path.c_str(), &named) == 0 &&
           open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

}  // namespace

ReleaseLock::ReleaseLock(const fs::path& folder, bool create) : folder_(folder) {
    std::error_code error;
    if (!fs::exists(folder, error)) {
        if (!create) {
            throw std::runtime_error("The release folder " + folder.string() + " does not exist");
        }
        fs::create_directories(folder, error);
        if (error) throw std::runtime_error("Cannot create the release folder " + folder.string());
        createdFolder_ = true;
    }
    const fs::path lock = folder / ReleaseLockFile;
    // A run that ends removes a lock file only from a folder it created; one
    // that opened that file just before must then open the new one.
    for (;;) {
        fd_ = ::open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd_ < 0) throw std::runtime_error("Cannot create the lock file " + lock.string());
        if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
            const int why = errno;
            ::close(fd_);
            fd_ = -1;
            if (why != EWOULDBLOCK) throw std::runtime_error("Cannot lock " + lock.string());
            throw std::runtime_error("The release folder " + folder.string() +
                                     " is being written by " + HolderOf(lock) +
                                     "; run this again when it has finished");
        }
        if (SameFile(fd_, lock)) break;
        ::close(fd_);
        fd_ = -1;
    }
    char started[32] = "";
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    if (::gmtime_r(&now, &utc) != nullptr) {
        std::strftime(started, sizeof started, "%Y-%m-%d %H:%M:%S UTC", &utc);
    }
    const std::string holder =
        "tessik-publish process " + std::to_string(::getpid()) + " (started " + started + ")\n";
    // The holder's name is for people only: the lock is held either way.
    [[maybe_unused]] const bool named =
        ::ftruncate(fd_, 0) == 0 && ::pwrite(fd_, holder.data(), holder.size(), 0) >= 0;
    fs::remove_all(folder / IncomingFolder, error);
    HeldHere().insert(Canonical(folder));
}

ReleaseLock::~ReleaseLock() {
    HeldHere().erase(Canonical(folder_));
    std::error_code ignored;
    if (createdFolder_) {
        // Nothing but the lock in a folder this run made: a refusal leaves
        // no trace.
        bool onlyLock = true;
        for (fs::directory_iterator entry(folder_, ignored), end; !ignored && entry != end;
             entry.increment(ignored)) {
            if (entry->path().filename() != ReleaseLockFile) onlyLock = false;
        }
        if (onlyLock && !ignored) {
            fs::remove(folder_ / ReleaseLockFile, ignored);
            fs::remove(folder_, ignored);
        }
    }
    // No name stays behind to be taken for the next holder's.
    [[maybe_unused]] const bool cleared = ::ftruncate(fd_, 0) == 0;
    ::close(fd_);
}

void WithReleaseLock(const fs::path& folder, const std::function<void()>& write) {
    if (HeldHere().count(Canonical(folder)) != 0) return write();
    const ReleaseLock lock(folder, false);
    write();
}

bool ReleaseLockIsHeld(const fs::path& folder) {
    const int fd = ::open((folder / ReleaseLockFile).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool held = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return held;
}

Leftovers IncomingLeftovers(const fs::path& folder) {
    Leftovers found;
    std::error_code error;
    for (fs::recursive_directory_iterator entry(folder / IncomingFolder, error), end;
         !error && entry != end; entry.increment(error)) {
        std::error_code size;
        if (!entry->is_regular_file(size)) continue;
        ++found.files;
        found.bytes += entry->file_size(size);
    }
    return found;
}
