#pragma once

#include <filesystem>
#include <functional>
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

// https://localhost:<port><path> on the trusted or the untrusted listener.
std::wstring ServiceAddress(const std::wstring& path, bool trusted = true);
// Publishes a file at /files/<name>.
void Publish(const std::wstring& name, const std::string& bytes);
// Every request the service has seen: "<request line>\t<user agent>".
std::vector<std::string> RequestLog();

// An empty folder of the running test's own (its name is the test's name).
std::filesystem::path FreshScratchFolder(const std::wstring& suffix = L"");

// A short name unique to the running test, for published files.
std::wstring UniqueName(const std::wstring& stem);

}  // namespace test_bed

// The message of the standard error that `action` raises, or "<no error>".
std::string ErrorMessageOf(const std::function<void()>& action);
