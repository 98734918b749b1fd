#include "tests/support/test_bed.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "base/text.h"
#include "store/storage.h"
#include "store/tree_removal.h"

namespace test_bed {
namespace {

std::wstring TestName() {
    const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info == nullptr ? "outside-test"
                                       : std::string(info->test_suite_name()) + "." + info->name();
    for (char& c : name) {
        if (c == '/' || c == '\\' || c == ':') c = '_';
    }
    return Utf8ToUtf16(name);
}

std::vector<std::string> Ports() {
    std::istringstream in(ReadFileBytes(Folder() / L"ports"));
    std::vector<std::string> ports;
    for (std::string port; in >> port;) ports.push_back(port);
    if (ports.size() != 4) throw std::runtime_error("the test service is not running");
    return ports;
}

}  // namespace

std::filesystem::path Folder() {
    const std::wstring unixPath = ReadEnvironmentVariable(L"TESSIK_TEST_BED");
    if (unixPath.empty()) throw std::runtime_error("TESSIK_TEST_BED is not set");
    std::wstring windowsPath = L"Z:" + unixPath;
    for (wchar_t& c : windowsPath) {
        if (c == L'/') c = L'\\';
    }
    return windowsPath;
}

std::filesystem::path DataFile(const std::wstring& name) { return Folder() / L"data" / name; }

std::string ExpectedSha256(const std::wstring& name) {
    std::istringstream sums(ReadFileBytes(Folder() / L"data" / L"SHA256SUMS"));
    const std::string wanted = Utf16ToUtf8(name);
    for (std::string digest, file; sums >> digest >> file;) {
        if (file == wanted) return digest;
    }
    throw std::runtime_error("no digest for " + wanted);
}

std::wstring ServiceAddress(const std::wstring& path, bool trusted) {
    return ListenerAddress(trusted ? Listener::Trusted : Listener::Untrusted, path);
}

std::wstring ListenerAddress(Listener listener, const std::wstring& path) {
    const std::wstring scheme = listener == Listener::PlainHttp ? L"http" : L"https";
    return scheme + L"://localhost:" + Utf8ToUtf16(Ports()[static_cast<size_t>(listener)]) + path;
}

void Publish(const std::wstring& name, const std::string& bytes) {
    const std::filesystem::path file = Folder() / L"www" / name;
    std::filesystem::create_directories(file.parent_path());
    WriteFileBytes(file, bytes);
}

std::vector<std::string> RequestLog() {
    std::istringstream in(ReadFileBytes(Folder() / L"requests.log"));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

size_t RequestsContaining(const std::wstring& text) {
    const std::string needle = Utf16ToUtf8(text);
    const std::vector<std::string> log = RequestLog();
    return static_cast<size_t>(std::count_if(log.begin(), log.end(), [&](const std::string& line) {
        return line.find(needle) != std::string::npos;
    }));
}

std::vector<RangedReply> RangedReplies(const std::wstring& text) {
    const std::string needle = Utf16ToUtf8(text);
    std::istringstream in(ReadFileBytes(Folder() / L"requests.log.bytes"));
    std::vector<RangedReply> replies;
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string path, status, sent, range;
        std::getline(fields, path, '\t');
        std::getline(fields, status, '\t');
        std::getline(fields, sent, '\t');
        std::getline(fields, range);
        if (path.find(needle) != std::string::npos) {
            replies.push_back({std::stoi(status), std::stoull(sent), range});
        }
    }
    return replies;
}

std::uint64_t BytesServed(const std::wstring& text) {
    std::uint64_t sum = 0;
    for (const RangedReply& reply : RangedReplies(text)) sum += reply.sent;
    return sum;
}

std::filesystem::path FreshScratchFolder(const std::wstring& suffix) {
    std::wstring name = TestName() + suffix;
    for (wchar_t& c : name) {
        if (c < 0x20 || std::wcschr(L"\\/:*?\"<>|", c) != nullptr) c = L'_';
    }
    // Windows drops trailing dots and blanks, which would make two names one.
    while (!name.empty() && (name.back() == L'.' || name.back() == L' ')) name.back() = L'_';
    const std::filesystem::path folder = Folder() / L"scratch" / name;
    // Never std::filesystem::remove_all: mingw's follows links out of the folder.
    if (!TryRemoveTree(folder)) {
        // Something Wine cannot delete (a link) from an earlier run: set the
        // whole folder aside.
        std::filesystem::rename(folder,
                                folder.wstring() + L".stale-" + std::to_wstring(GetTickCount64()));
    }
    std::filesystem::create_directories(folder);
    return folder;
}

std::wstring UniqueName(const std::wstring& stem) { return TestName() + L"-" + stem; }

std::filesystem::path SupportProgram(const std::wstring& name) {
    wchar_t self[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    return std::filesystem::path(std::wstring(self, length)).parent_path() / L"support" / name;
}

std::filesystem::path LauncherProgram() {
    return SupportProgram(L"x").parent_path().parent_path().parent_path() /
           L"TESSIK-Launcher-Windows-x64.exe";
}

std::string ManifestJson(const std::string& version, const std::wstring& url,
                         const std::string& sha256, const std::string& executable) {
    return "{\"version\":\"" + version + "\",\"platform\":\"windows-x86_64\",\"url\":\"" +
           Utf16ToUtf8(url) + "\",\"sha256\":\"" + sha256 + "\",\"executable\":\"" + executable +
           "\"}";
}

std::optional<std::string> WaitForFile(const std::filesystem::path& file,
                                       std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string last;
    bool seen = false;
    while (std::chrono::steady_clock::now() < deadline) {
        std::error_code error;
        if (std::filesystem::exists(file, error)) {
            std::string now = ReadFileBytes(file);
            if (seen && now == last && !now.empty()) return now;
            last = std::move(now);
            seen = true;
        }
        Sleep(100);
    }
    return std::nullopt;
}

std::vector<std::wstring> TreeOf(const std::filesystem::path& folder) {
    std::vector<std::wstring> entries;
    std::error_code error;
    for (auto it = std::filesystem::recursive_directory_iterator(folder, error);
         !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
        entries.push_back(std::filesystem::relative(it->path(), folder).wstring());
    }
    std::sort(entries.begin(), entries.end());
    return entries;
}

}  // namespace test_bed

ScopedVariable::ScopedVariable(std::wstring name, std::optional<std::wstring> value)
    : name_(std::move(name)) {
    std::vector<wchar_t> buffer(32768);
    const DWORD length = GetEnvironmentVariableW(name_.c_str(), buffer.data(), 32768);
    if (length > 0 && length < 32768) old_ = std::wstring(buffer.data(), length);
    SetEnvironmentVariableW(name_.c_str(), value ? value->c_str() : nullptr);
}

ScopedVariable::~ScopedVariable() {
    SetEnvironmentVariableW(name_.c_str(), old_ ? old_->c_str() : nullptr);
}

std::string ErrorMessageOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::exception& error) {
        return error.what();
    }
    return "<no error>";
}
