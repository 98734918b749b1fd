#pragma once

#include <mutex>
#include <string>
#include <utility>

// The newest invite link. The entry point sets the command line's before any
// window or worker exists; afterwards the window replaces it with each link a
// later launcher hands over, while a worker may be about to read it. Every
// access goes through the one mutex, and a start takes the link and closes
// the slot in one step, so a link either reaches the started game or is
// refused to its sender (who then starts a game of its own); none is lost.
class InviteLinkSlot {
  public:
    std::wstring Get() const {
        const std::lock_guard<std::mutex> hold(mutex_);
        return link_;
    }
    bool empty() const { return Get().empty(); }
    void Set(std::wstring link) {
        const std::lock_guard<std::mutex> hold(mutex_);
        link_ = std::move(link);
    }
    void clear() {
        const std::lock_guard<std::mutex> hold(mutex_);
        link_.clear();
        closed_ = false;
    }
    // A link handed over by a later launcher: false once a start has taken the link.
    bool Offer(std::wstring link) {
        const std::lock_guard<std::mutex> hold(mutex_);
        if (closed_) return false;
        link_ = std::move(link);
        return true;
    }
    // What a game start passes on (or a restart for a launcher update, which
    // ends this process); later offers are refused until Reopen.
    std::wstring TakeForStart() {
        const std::lock_guard<std::mutex> hold(mutex_);
        closed_ = true;
        return link_;
    }
    // The start failed and the window is usable again.
    void Reopen() {
        const std::lock_guard<std::mutex> hold(mutex_);
        closed_ = false;
    }

  private:
    mutable std::mutex mutex_;
    std::wstring link_;
    bool closed_ = false;
};

// Deliberately never destroyed: a detached worker may still read them while
// the process exits. launcherExecutablePath is written once by the entry point
// before any window or worker exists, read-only afterwards.
inline InviteLinkSlot& inviteLink = *new InviteLinkSlot;
inline std::wstring& launcherExecutablePath = *new std::wstring;
