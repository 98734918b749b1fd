#include "base/command_line.h"

std::wstring QuoteCommandLineArgument(const std::wstring& argument) {
    if (argument.find_first_of(L" \t\"") == std::wstring::npos) {
        return argument;
    }
    std::wstring quoted = L"\"";
    size_t pendingBackslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++pendingBackslashes;
        } else if (c == L'"') {
            quoted.append(pendingBackslashes * 2 + 1, L'\\');
            quoted.push_back(c);
            pendingBackslashes = 0;
        } else {
            quoted.append(pendingBackslashes, L'\\');
            quoted.push_back(c);
            pendingBackslashes = 0;
        }
    }
    quoted.append(pendingBackslashes * 2, L'\\');
    quoted.push_back(L'"');
    return quoted;
}

std::wstring BuildCommandLine(const std::vector<std::wstring>& arguments) {
    std::wstring line;
    for (const std::wstring& argument : arguments) {
        if (!line.empty()) {
            line.push_back(L' ');
        }
        line += QuoteCommandLineArgument(argument);
    }
    return line;
}
