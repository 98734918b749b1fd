// Stands in for an archive program that writes part of its listing to
// standard error:
//   stderr_standin.exe <standard output line> <standard error line>
// writes the first line to standard output, then the second to standard
// error, each followed by a line feed ("-" writes nothing), and exits with 0.
#include <windows.h>

#include <string>

namespace {

void WriteLine(DWORD stream, const wchar_t* text) {
    if (lstrcmpW(text, L"-") == 0) return;
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string line(size > 0 ? static_cast<size_t>(size) - 1 : 0, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, line.data(), size, nullptr, nullptr);
    line.push_back('\n');
    DWORD written = 0;
    WriteFile(GetStdHandle(stream), line.data(), static_cast<DWORD>(line.size()), &written,
              nullptr);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) return 2;
    WriteLine(STD_OUTPUT_HANDLE, argv[1]);
    WriteLine(STD_ERROR_HANDLE, argv[2]);
    return 0;
}
