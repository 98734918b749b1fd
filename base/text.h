#pragma once

#include <string>

// The only place UTF-16 (paths, command lines, window text) and UTF-8
// (manifests, the state file, messages) meet. Invalid UTF-8 is refused.
std::string Utf16ToUtf8(const std::wstring& text);
std::wstring Utf8ToUtf16(const std::string& text);

// Empty when the variable is unset, empty or could not be read.
std::wstring ReadEnvironmentVariable(const std::wstring& name);
