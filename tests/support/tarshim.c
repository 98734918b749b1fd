/* Stands in for Windows' tar.exe under Wine: a winelib program that runs
 * Debian's bsdtar (libarchive, the program Windows ships as tar.exe).
 * Wine loses a Linux child's standard error and exit code, so this program
 * forwards bsdtar's output and error, merged on one pipe, to its own Windows
 * standard output and returns bsdtar's exit status. The archive (after an
 * option ending in f) and the folder after -C are Windows paths, resolved
 * against the current folder and turned into Unix paths; every other argument
 * passes unchanged.
 * Windows' tar.exe is a main() program: the system hands it its command line
 * in the ANSI code page, with best-fit substitution for what that code page
 * lacks. So does this stand-in, so that a path that Windows would garble is
 * garbled here too. */
#include <windows.h>
#include <shellapi.h>

#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

extern char* CDECL wine_get_unix_file_name(LPCWSTR dosName);

static char* Utf8(const WCHAR* text) {
    int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, NULL, 0, NULL, NULL);
    char* out = malloc(size > 0 ? size : 1);
    if (size <= 0 || !WideCharToMultiByte(CP_UTF8, 0, text, -1, out, size, NULL, NULL)) out[0] = 0;
    return out;
}

/* The argument as a main() program on Windows receives it. */
static WCHAR* ThroughAnsiCodePage(const WCHAR* text) {
    int size = WideCharToMultiByte(CP_ACP, 0, text, -1, NULL, 0, NULL, NULL);
    char* narrow = malloc(size > 0 ? size : 1);
    if (size <= 0 || !WideCharToMultiByte(CP_ACP, 0, text, -1, narrow, size, NULL, NULL))
        narrow[0] = 0;
    int wide = MultiByteToWideChar(CP_ACP, 0, narrow, -1, NULL, 0);
    WCHAR* out = malloc(sizeof(WCHAR) * (wide > 0 ? wide : 1));
    if (wide <= 0 || !MultiByteToWideChar(CP_ACP, 0, narrow, -1, out, wide)) out[0] = 0;
    free(narrow);
    return out;
}

/* A Windows path, relative to the current folder or not, as a Unix path. */
static char* UnixPath(const WCHAR* path) {
    WCHAR full[32768];
    DWORD length = GetFullPathNameW(path, 32768, full, NULL);
    if (length == 0 || length >= 32768) return NULL;
    return wine_get_unix_file_name(full);
}

int main(void) {
    int count = 0;
    WCHAR** words = CommandLineToArgvW(GetCommandLineW(), &count);
    if (words == NULL) return 127;

    char** args = calloc(count + 1, sizeof(char*));
    args[0] = "/usr/bin/bsdtar";
    for (int i = 1; i < count; ++i) words[i] = ThroughAnsiCodePage(words[i]);
    for (int i = 1; i < count; ++i) {
        const char* previous = i > 1 ? args[i - 1] : "";
        const size_t length = strlen(previous);
        const int isPath = previous[0] == '-' && previous[1] != '-' && length > 1 &&
                           (previous[length - 1] == 'f' || strcmp(previous, "-C") == 0);
        if (isPath) {
            args[i] = UnixPath(words[i]);
            if (args[i] == NULL) return 126;
        } else {
            args[i] = Utf8(words[i]);
        }
    }

    int fds[2];
    if (pipe(fds) != 0) return 125;
    pid_t child = fork();
    if (child < 0) return 124;
    if (child == 0) {
        dup2(fds[1], 1);
        dup2(fds[1], 2);
        close(fds[0]);
        close(fds[1]);
        execv(args[0], args);
        _exit(123);
    }
    close(fds[1]);

    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    char buffer[16384];
    ssize_t got;
    while ((got = read(fds[0], buffer, sizeof buffer)) > 0) {
        DWORD written = 0;
        if (out != NULL && out != INVALID_HANDLE_VALUE)
            WriteFile(out, buffer, (DWORD)got, &written, NULL);
    }
    close(fds[0]);

    int status = 0;
    if (waitpid(child, &status, 0) < 0) return 122;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 121;
}
