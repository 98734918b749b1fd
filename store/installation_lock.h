#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "base/scoped_handle.h"

// One launcher at a time installs into a storage root: the launcher's own
// update, the game's download and unpacking, and the state file's
// replacement all happen while the lock is held. A named mutex of the user's
// session, so a launcher that ends or is killed lets go of it by ending.

// "Local\TessikInstallation-" and the SHA-256 (hex) of the root's full path
// folded as NTFS folds names: two spellings of one folder name one lock.
std::wstring InstallationLockName(const std::filesystem::path& root);

// The mutex's security descriptor (SDDL) for the user with this SID. A
// launcher once run as administrator would otherwise create it with the
// elevated token's default security, which the player's normal launchers can
// never open: the user and SYSTEM may use it, and its label is medium, so
// that medium integrity may, and no higher one than the creator's is asked.
std::wstring InstallationLockSecurity(const std::wstring& userSid);

class InstallationLock {
  public:
    // Creates or opens the root's mutex, which this user may open at medium
    // integrity whoever created it. Fails with "Could not take the
    // installation lock"; a mutex of another launcher that this one may not
    // open (made by an older launcher run as administrator) counts as held.
    explicit InstallationLock(const std::filesystem::path& root);

    // Holds the lock from Acquire until it is destroyed, on the thread that
    // acquired it (a mutex belongs to a thread).
    class Owner {
      public:
        Owner(Owner&& other) noexcept;
        Owner& operator=(Owner&&) = delete;
        Owner(const Owner&) = delete;
        Owner& operator=(const Owner&) = delete;
        ~Owner();

      private:
        friend class InstallationLock;
        explicit Owner(HANDLE mutex) : mutex_(mutex) {}
        HANDLE mutex_;  // not owned: the lock outlives its owner
    };

    // Waits for as long as another launcher installs. A launcher that ended
    // while holding it leaves nothing half-done that matters here (each step
    // replaces its files whole), so an abandoned lock counts as taken. Fails
    // with "Could not take the installation lock".
    [[nodiscard]] Owner Acquire();

    // Takes the lock only when no other launcher holds it; nullopt otherwise.
    [[nodiscard]] std::optional<Owner> TryAcquire();

  private:
    // Whether the mutex is open now; tries again when it was refused.
    bool Opened();

    std::wstring name_;
    KernelHandle mutex_;
};
