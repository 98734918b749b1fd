#pragma once

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// What the test bed's fixtures set up, seen from a Windows test program.
namespace test_bed {

// The test bed folder (made by the setup fixture) as a Windows path.
std::filesystem::path Folder();

// Files made at set-up: archives, digest inputs and their SHA256SUMS.
std::filesystem::path DataFile(const std::wstring& name);
// The digest that SHA256SUMS gives for a data file.
std::string ExpectedSha256(const std::wstring& name);

// The service's listeners (see https_service.py).
enum class Listener { Trusted = 0, Untrusted = 1, WrongHost = 2, PlainHttp = 3 };

// https://localhost:<port><path> on the trusted or the untrusted listener.
std::wstring ServiceAddress(const std::wstring& path, bool trusted = true);
// <scheme>://localhost:<port><path> on any listener.
std::wstring ListenerAddress(Listener listener, const std::wstring& path);
// Publishes a file at /files/<name>.
void Publish(const std::wstring& name, const std::string& bytes);
// Every request the service has seen: "<request line>\t<user agent>".
std::vector<std::string> RequestLog();
// How many of them contain `text` (for example a published file's name).
size_t RequestsContaining(const std::wstring& text);

// One /ranged/ reply whose path contains a text: its status, the body bytes
// sent and the Range header asked for ("" when none).
struct RangedReply {
    int status = 0;
    std::uint64_t sent = 0;
    std::string range;
};
std::vector<RangedReply> RangedReplies(const std::wstring& text);
std::uint64_t BytesServed(const std::wstring& text);

// An empty folder of the running test's own (its name is the test's name).
std::filesystem::path FreshScratchFolder(const std::wstring& suffix = L"");

// A short name unique to the running test, for published files.
std::wstring UniqueName(const std::wstring& stem);

// A program of the test bed, built beside the test programs (for example
// "game_standin.exe").
std::filesystem::path SupportProgram(const std::wstring& name);

// The built launcher, "TESSIK-Launcher-Windows-x64.exe".
std::filesystem::path LauncherProgram();

// A manifest in the service's format.
std::string ManifestJson(const std::string& version, const std::wstring& url,
                         const std::string& sha256, const std::string& executable = "tessik.exe");

// The file's content once it exists and has stopped growing, or nullopt after
// `timeout`.
std::optional<std::string> WaitForFile(
    const std::filesystem::path& file,
    std::chrono::milliseconds timeout = std::chrono::seconds(20));

// Every file and folder below `folder`, as sorted relative paths.
std::vector<std::wstring> TreeOf(const std::filesystem::path& folder);

}  // namespace test_bed

// Sets (or, with nullopt, removes) an environment variable of this process for
// one scope, then restores it.
class ScopedVariable {
  public:
    ScopedVariable(std::wstring name, std::optional<std::wstring> value);
    ~ScopedVariable();
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

  private:
    std::wstring name_;
    std::optional<std::wstring> old_;
};

// The message of the standard error that `action` raises, or "<no error>".
std::string ErrorMessageOf(const std::function<void()>& action);
