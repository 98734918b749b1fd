#include "app/entry_point.h"

#include <shellapi.h>

#include <cerrno>
#include <cwchar>

#include "app/diagnostics.h"
#include "app/invite_handover.h"
#include "app/launcher_window.h"
#include "base/scoped_handle.h"
#include "selfupdate/finish_launcher_update.h"
#include "store/pending_invite.h"
#include "store/storage.h"

std::optional<std::uint32_t> ReadProcessIdArgument(const std::wstring& text) {
    static_assert(sizeof(unsigned long) == sizeof(std::uint32_t), "wcstoul is 32-bit on Windows");
    const wchar_t* begin = text.c_str();
    wchar_t* end = nullptr;
    errno = 0;
    const unsigned long value = std::wcstoul(begin, &end, 10);
    if (end == begin || errno == ERANGE) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

RunChoice ChooseRun(const std::vector<std::wstring>& arguments) {
    RunChoice choice;
    if (arguments.size() == 6 && arguments[1] == L"--finish-launcher-update") {
        const std::optional<std::uint32_t> processId = ReadProcessIdArgument(arguments[2]);
        if (!processId) {
            choice.kind = RunKind::BadProcessId;
            return choice;
        }
        choice.kind = RunKind::FinishLauncherUpdate;
        choice.processId = *processId;
        choice.source = arguments[3];
        choice.target = arguments[4];
        choice.backup = arguments[5];
        return choice;
    }
    for (size_t i = 1; i < arguments.size(); ++i) {
        const std::wstring& argument = arguments[i];
        if (argument == L"--selftest" || argument == L"--verify-native" ||
            argument == L"--probe-manifest") {
            choice.kind = RunKind::Diagnostics;
            choice.probe = argument == L"--probe-manifest";
            return choice;
        }
        if (argument.compare(0, 9, L"tessik://") == 0) {
            choice.inviteLink = argument;
        }
    }
    return choice;
}

std::vector<std::wstring> SplitCommandLine(const wchar_t* commandLine) {
    int count = 0;
    wchar_t** words = CommandLineToArgvW(commandLine, &count);
    if (words == nullptr) {
        return {};
    }
    LocalMemory owner(reinterpret_cast<HLOCAL>(words));
    return std::vector<std::wstring>(words, words + count);
}

std::wstring ReadExecutablePath() {
    constexpr DWORD capacity = 32768;
    std::wstring buffer(capacity, L'\0');
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), capacity);
    if (length == 0 || length >= capacity) {
        return {};  // a truncated path would name another file
    }
    buffer.resize(length);
    return buffer;
}

int RunEntryPoint(HINSTANCE instance, int showCommand) {
    // A command line that cannot be split selects no mode and no invite link.
    const std::vector<std::wstring> arguments = SplitCommandLine(GetCommandLineW());
    const RunChoice choice = arguments.empty() ? RunChoice{} : ChooseRun(arguments);
    switch (choice.kind) {
        case RunKind::BadProcessId:
            return 20;
        case RunKind::FinishLauncherUpdate:
            return FinishLauncherUpdate(choice.processId, choice.source, choice.target,
                                        choice.backup);
        case RunKind::Diagnostics:
            return RunDiagnostics(choice.probe);
        case RunKind::Window:
            break;
    }
    // A launcher that already runs takes the link to its game; this one is then not needed.
    if (!choice.inviteLink.empty() && HandOverInviteLink(choice.inviteLink)) {
        return 0;
    }
    // Restarted by a hand-off to the launcher's own update: the link the
    // earlier launcher held.
    std::wstring link = choice.inviteLink;
    if (link.empty()) {
        try {
            link = TakePendingInvite(StorageRoot());
        } catch (const std::exception&) {
        }
        if (!IsAcceptableInviteLink(link)) link.clear();
    }
    inviteLink.Set(link);
    launcherExecutablePath = ReadExecutablePath();
    return RunLauncherWindow(instance, showCommand);
}
