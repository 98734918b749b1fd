#pragma once

#include <string>
#include <vector>

// Writes one argument so that CommandLineToArgvW (and the C runtime's start-up
// code) gives it back unchanged. Arguments without blank, tab or double quote
// are written bare.
std::wstring QuoteCommandLineArgument(const std::wstring& argument);

// Every argument quoted, joined with single blanks.
std::wstring BuildCommandLine(const std::vector<std::wstring>& arguments);
