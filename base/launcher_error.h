#pragma once

#include <stdexcept>
#include <string>

// The one error the launcher's own code raises. Its message is a fixed English
// sentence chosen where the failure happens; it never carries a Windows code.
class LauncherError : public std::runtime_error {
  public:
    explicit LauncherError(const char* message) : std::runtime_error(message) {}
};

// The text shown to the player for any caught standard error.
std::wstring DescribeFailure(const std::exception& error) noexcept;
