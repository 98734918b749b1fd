#pragma once

#include <functional>
#include <string>
#include <vector>

#include "tests/support/launcher_run.h"
#include "tests/support/player_machine.h"

// One attack on one player's machine, run twice: with a stored working build
// (the player must get into it) and without one (the player must be told).
struct Attack {
    const char* name;
    std::function<void(PlayerMachine&)> arrange;
    std::vector<std::string> messages;  // acceptable failure texts without a build
};

// A build stored and recorded as current, as an earlier run would leave it.
void StoreWorkingBuild(PlayerMachine& player);

// The checks shared by every attack: nothing outside the storage root was
// created or changed, no staging folder or temporary state file remains, the
// state file is byte for byte what it was.
class MachineWatch {
  public:
    explicit MachineWatch(const PlayerMachine& player);
    void ExpectUntouched(const std::string& attack) const;
    // Only the part outside the storage root.
    void ExpectOutsideUntouched(const std::string& attack) const;

  private:
    const PlayerMachine& player_;
    std::string state_;
    FolderFingerprint outside_;
    FolderFingerprint users_;
};
