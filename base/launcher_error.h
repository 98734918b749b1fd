#pragma once

#include <exception>
#include <string>

#include "format/launcher_error.h"

// The text shown to the player for any caught standard error.
std::wstring DescribeFailure(const std::exception& error) noexcept;
