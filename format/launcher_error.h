#pragma once

#include <stdexcept>

// The one error the launcher's own code raises. Its message is a fixed English
// sentence chosen where the failure happens; it never carries a Windows code.
class LauncherError : public std::runtime_error {
  public:
    explicit LauncherError(const char* message) : std::runtime_error(message) {}
};
