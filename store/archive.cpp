#include "store/archive.h"

#include <windows.h>

#include <algorithm>

#include "base/command_line.h"
#include "base/launcher_error.h"
#include "base/long_path_files.h"
#include "base/scoped_handle.h"
#include "format/windows_names.h"
#include "format/zip_directory.h"
#include "store/security_removals.h"

namespace {

constexpr DWORD ArchiveReadBufferSize = 16384;

// Printable ASCII reads the same in every code page; a leading dash would
// read as an option.
bool IsPlainArchiveName(const std::wstring& name) {
    return !name.empty() && name.front() != L'-' &&
           std::all_of(name.begin(), name.end(), [](wchar_t c) { return c >= 0x20 && c < 0x7F; });
}

}  // namespace

std::filesystem::path SystemTarPath() {
    wchar_t folder[MAX_PATH];
    const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        throw LauncherError(
            "Windows tar is unavailable; Windows 10 version 1803 or newer is required");
    }
    return std::filesystem::path(std::wstring(folder, length)) / L"tar.exe";
}

std::string RunCapturedProcess(const std::vector<std::wstring>& arguments,
                               const std::filesystem::path& folder) {
    if (arguments.empty()) {
        throw LauncherError("Internal launcher command is empty");
    }
    std::wstring commandLine = BuildCommandLine(arguments);
    // Windows starts no process in a current folder longer than this.
    if (folder.wstring().size() > MAX_PATH - 2) {
        throw LauncherError("The TESSIK storage path is too long for Windows tar");
    }

    SECURITY_ATTRIBUTES inheritable{};
    inheritable.nLength = sizeof(inheritable);
    inheritable.bInheritHandle = TRUE;
    HANDLE rawRead = nullptr;
    HANDLE rawWrite = nullptr;
    if (!CreatePipe(&rawRead, &rawWrite, &inheritable, 0)) {
        throw LauncherError("Could not capture the archive tool");
    }
    KernelHandle readEnd(rawRead);
    KernelHandle writeEnd(rawWrite);
    if (!SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0)) {
        throw LauncherError("Could not capture the archive tool");
    }

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = writeEnd.get();
    startup.hStdError = writeEnd.get();

    // The program is named explicitly, so no search path (the launcher's own
    // folder, the current folder) can substitute another file of that name.
    // A start can fail for a moment (a scanner examining the image; a loaded
    // machine under Wine did too): a missing program is not tried again.
    PROCESS_INFORMATION process{};
    BOOL started = FALSE;
    for (int attempt = 0; attempt < 3 && !started; ++attempt) {
        if (attempt > 0) Sleep(250);
        started = CreateProcessW(arguments.front().c_str(), commandLine.data(), nullptr, nullptr,
                                 TRUE, CREATE_NO_WINDOW, nullptr,
                                 folder.empty() ? nullptr : folder.c_str(), &startup, &process);
        const DWORD error = started ? ERROR_SUCCESS : GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) break;
    }
    // Only the child may hold a write end, or the drain below would never end.
    writeEnd.reset();
    if (!started) {
        throw LauncherError(
            "Windows tar is unavailable; Windows 10 version 1803 or newer is required");
    }
    ProcessHandles child(process);

    std::string output;
    char buffer[ArchiveReadBufferSize];
    DWORD read = 0;
    while (ReadFile(readEnd.get(), buffer, ArchiveReadBufferSize, &read, nullptr) && read > 0) {
        output.append(buffer, read);
    }
    readEnd.reset();
    WaitForSingleObject(child.process.get(), INFINITE);

    DWORD exitCode = 1;
    if (!GetExitCodeProcess(child.process.get(), &exitCode)) {
        exitCode = 1;
    }
    if (exitCode != 0) {
        throw LauncherError("Windows could not unpack the verified update");
    }
    return output;
}

namespace {

// Lists and checks the archive, then runs each extraction.
void CheckAndUnpack(const std::filesystem::path& archive, const std::vector<ArchivePart>& parts,
                    bool wholeBuild) {
    const std::filesystem::path folder = archive.parent_path();
    const std::wstring archiveName = archive.filename().wstring();
    std::vector<std::wstring> destinations;
    for (const ArchivePart& part : parts) {
        destinations.push_back(part.destination.lexically_relative(folder).wstring());
        if (!IsPlainArchiveName(destinations.back())) {
            throw LauncherError("Windows could not unpack the verified update");
        }
    }
    if (!IsPlainArchiveName(archiveName)) {
        throw LauncherError("Windows could not unpack the verified update");
    }
    // Before tar.exe reads a byte: a zip the one directory reader refuses
    // could list otherwise there than it unpacks.
    const std::vector<ZipEntry> entries = ReadZipDirectory(archive);
    const std::wstring tar = SystemTarPath().wstring();
    CheckArchiveListing(RunCapturedProcess({tar, L"-tf", archiveName}, folder), wholeBuild);
    CheckArchiveEntryTypes(RunCapturedProcess({tar, L"-tvf", archiveName}, folder));
    // The digest vouches for the archive, not for what tar.exe writes: it
    // rewrites some characters, and NTFS makes names that differ only in case
    // one file, so the build on disk could differ from the published one. The
    // names are read from the zip itself, as tar.exe's listing passes through
    // the ANSI code page.
    if (FindWindowsEntryProblem(entries)) {
        throw LauncherError("The update holds names Windows cannot store as published");
    }
    for (size_t i = 0; i < parts.size(); ++i) {
        CreateFolders(parts[i].destination);
        std::vector<std::wstring> command{tar, L"-xf", archiveName, L"-C", destinations[i]};
        command.insert(command.end(), parts[i].selection.begin(), parts[i].selection.end());
        RunCapturedProcess(command, folder);
    }
}

}  // namespace

void UnpackUpdateArchive(const std::filesystem::path& archive,
                         const std::filesystem::path& destination, bool wholeBuild) {
    CheckAndUnpack(archive, {ArchivePart{destination, {}}}, wholeBuild);
    // The listing held it and tar.exe wrote it: something removed it since,
    // as a scanner quarantines a file it distrusts.
    if (wholeBuild && !IsRegularFileAt(destination / L"tessik.exe")) {
        throw SecurityRemovalError();
    }
}

void UnpackPatchParts(const std::filesystem::path& archive, const std::vector<ArchivePart>& parts) {
    CheckAndUnpack(archive, parts, false);
}
