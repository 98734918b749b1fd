#include "service/https_transfer.h"

#include <vector>

#include "base/launcher_error.h"
#include "base/scoped_handle.h"

namespace {

constexpr wchar_t UserAgent[] = L"TessikLauncher/2 (native Windows)";
constexpr DWORD TransferBufferSize = 65536;

struct CrackedAddress {
    std::wstring host;
    INTERNET_PORT port = INTERNET_DEFAULT_HTTPS_PORT;
    std::wstring path;  // path and query, as written
};

CrackedAddress CrackHttpsAddress(const std::wstring& address) {
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof(parts);
    parts.dwSchemeLength = static_cast<DWORD>(-1);
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!WinHttpCrackUrl(address.c_str(), static_cast<DWORD>(address.size()), 0, &parts) ||
        parts.nScheme != INTERNET_SCHEME_HTTPS) {
        throw LauncherError("The update URL is invalid or insecure");
    }
    CrackedAddress cracked;
    cracked.host.assign(parts.lpszHostName, parts.dwHostNameLength);
    cracked.port = parts.nPort;
    cracked.path.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
    if (parts.dwExtraInfoLength > 0) {
        cracked.path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    }
    if (cracked.path.empty()) {
        cracked.path = L"/";
    }
    return cracked;
}

}  // namespace

void HttpsGet(const std::wstring& address, std::string* body, const std::filesystem::path* file) {
    const CrackedAddress target = CrackHttpsAddress(address);

    WinHttpHandle session(WinHttpOpen(UserAgent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                                      WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session) {
        throw LauncherError("Could not initialize the Windows HTTPS service");
    }
    WinHttpSetTimeouts(session.get(), 15000, 15000, 20000, 60000);

    WinHttpHandle connection(WinHttpConnect(session.get(), target.host.c_str(), target.port, 0));
    if (!connection) {
        throw LauncherError("Could not connect to the update service");
    }

    WinHttpHandle request(WinHttpOpenRequest(connection.get(), L"GET", target.path.c_str(), nullptr,
                                             WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                             WINHTTP_FLAG_SECURE));
    if (!request ||
        !WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                            WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !WinHttpReceiveResponse(request.get(), nullptr)) {
        throw LauncherError("The update service could not be reached");
    }

    DWORD status = 0;
    DWORD statusSize = sizeof(status);
    if (!WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize,
                             WINHTTP_NO_HEADER_INDEX) ||
        status != 200) {
        throw LauncherError("The update service returned an error");
    }

    // Declared after the handles so that it is closed before them, on every
    // path. Written with WriteFile directly: the C runtime's stream layer
    // halved the download rate under Wine.
    KernelHandle out;
    if (file != nullptr) {
        const HANDLE created = CreateFileW(file->c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (created == INVALID_HANDLE_VALUE) {
            throw LauncherError("Could not create the update archive");
        }
        out.reset(created);
    }

    std::vector<char> buffer(TransferBufferSize, '\0');
    for (;;) {
        DWORD read = 0;
        if (!WinHttpReadData(request.get(), buffer.data(), TransferBufferSize, &read)) {
            throw LauncherError("The update download was interrupted");
        }
        if (read == 0) {
            break;
        }
        if (file != nullptr) {
            DWORD written = 0;
            if (!WriteFile(out.get(), buffer.data(), read, &written, nullptr) || written != read) {
                throw LauncherError("Could not save the update archive");
            }
        } else if (body != nullptr) {
            if (body->size() + read > ManifestTextLimit) {
                throw LauncherError("The update manifest is unexpectedly large");
            }
            body->append(buffer.data(), read);
        }
    }
}
