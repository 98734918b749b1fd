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
 * garbled here too.
 * Windows' tar.exe writes names as NTFS lets it (libarchive's Windows
 * writer): : * ? " < > | become _, a name with a control character cannot
 * be created (the run fails), and an entry whose name differs from an
 * earlier one only in letter case replaces it (one file, or one folder,
 * under the first spelling). NTFS also gives each name that is not 8.3 a
 * short alias (STEM~N.EXT), and a later entry named like that alias opens
 * the file it stands for; Wine makes no aliases, so this stand-in does.
 * Before extracting, it lists the archive and gives bsdtar a substitution
 * for every name it would store otherwise, so the files land where Windows
 * would put them. */
#include <windows.h>
#include <shellapi.h>

#include <stdio.h>
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

/* Text on the Windows standard output, where the caller's pipe is. */
static void Say(const char* text) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD written = 0;
    if (out != NULL && out != INVALID_HANDLE_VALUE)
        WriteFile(out, text, strlen(text), &written, NULL);
}

/* Runs bsdtar with `args` (args[0] its path), its output and error on one
 * pipe. With `capture`, the output is returned (NUL-terminated) instead of
 * being forwarded; `*status` gets the exit status. */
static char* RunBsdtar(char** args, int capture, int* status) {
    int fds[2];
    *status = 125;
    if (pipe(fds) != 0) return NULL;
    pid_t child = fork();
    if (child < 0) return NULL;
    if (child == 0) {
        dup2(fds[1], 1);
        dup2(fds[1], 2);
        close(fds[0]);
        close(fds[1]);
        /* Names as UTF-8 bytes, escaped only when not printable. */
        setenv("LC_ALL", "C.UTF-8", 1);
        execv(args[0], args);
        _exit(123);
    }
    close(fds[1]);

    char buffer[16384];
    size_t size = 0;
    char* captured = capture ? malloc(1) : NULL;
    ssize_t got;
    while ((got = read(fds[0], buffer, sizeof buffer)) > 0) {
        if (capture) {
            captured = realloc(captured, size + got + 1);
            memcpy(captured + size, buffer, got);
            size += got;
        } else {
            HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
            DWORD written = 0;
            if (out != NULL && out != INVALID_HANDLE_VALUE)
                WriteFile(out, buffer, (DWORD)got, &written, NULL);
        }
    }
    close(fds[0]);
    if (capture) captured[size] = 0;

    int waited = 0;
    if (waitpid(child, &waited, 0) < 0)
        *status = 122;
    else
        *status = WIFEXITED(waited) ? WEXITSTATUS(waited) : 121;
    return captured;
}

/* One listed name with bsdtar's escapes undone (\\, \a..\v and \ooo). Zero
 * when it holds a control character, which Windows cannot create. */
static int Unescape(const char* line, char* name) {
    size_t n = 0;
    for (const char* c = line; *c; ++c) {
        unsigned char byte = (unsigned char)*c;
        if (byte == '\\' && c[1] == '\\') {
            ++c;
        } else if (byte == '\\' && c[1] >= '0' && c[1] <= '7' && c[2] && c[3]) {
            byte = (unsigned char)((c[1] - '0') * 64 + (c[2] - '0') * 8 + (c[3] - '0'));
            c += 3;
        } else if (byte == '\\' && c[1] && strchr("abfnrtv", c[1])) {
            return 0;
        }
        if (byte < 0x20 || byte == 0x7F) return 0;
        name[n++] = (char)byte;
    }
    name[n] = 0;
    return 1;
}

/* The first spelling of each path, keyed by its case-folded form. */
typedef struct {
    char* folded;
    char* element; /* the last element as first spelled */
} Spelling;
static Spelling* spellings;
static size_t spellingSlots;

static size_t Hash(const char* text) {
    size_t h = 1469598103934665603ull;
    for (; *text; ++text) h = (h ^ (unsigned char)*text) * 1099511628211ull;
    return h;
}

/* Each UTF-16 unit's uppercase, no normalization, as NTFS compares. */
static char* Fold(const char* utf8, size_t length) {
    int wide = MultiByteToWideChar(CP_UTF8, 0, utf8, (int)length, NULL, 0);
    WCHAR* units = malloc(sizeof(WCHAR) * (wide + 1));
    MultiByteToWideChar(CP_UTF8, 0, utf8, (int)length, units, wide);
    for (int i = 0; i < wide; ++i) {
        WCHAR upper = units[i];
        LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, &units[i], 1, &upper, 1);
        units[i] = upper;
    }
    int size = WideCharToMultiByte(CP_UTF8, 0, units, wide, NULL, 0, NULL, NULL);
    char* out = malloc(size + 1);
    WideCharToMultiByte(CP_UTF8, 0, units, wide, out, size, NULL, NULL);
    out[size] = 0;
    free(units);
    return out;
}

/* The element first spelled under this folded path; `element` when new. */
static const char* FirstSpelling(char* folded, const char* element) {
    size_t at = Hash(folded) % spellingSlots;
    while (spellings[at].folded != NULL) {
        if (strcmp(spellings[at].folded, folded) == 0) {
            free(folded);
            return spellings[at].element;
        }
        at = (at + 1) % spellingSlots;
    }
    spellings[at].folded = folded;
    spellings[at].element = strdup(element);
    return spellings[at].element;
}

/* The short names NTFS made, keyed by folded path, each naming the folded
 * path of the file it stands for. */
static Spelling* aliases;

static const char* Lookup(const Spelling* table, const char* folded) {
    for (size_t at = Hash(folded) % spellingSlots; table[at].folded != NULL;
         at = (at + 1) % spellingSlots) {
        if (strcmp(table[at].folded, folded) == 0) return table[at].element;
    }
    return NULL;
}

static void Insert(Spelling* table, const char* folded, const char* element) {
    size_t at = Hash(folded) % spellingSlots;
    while (table[at].folded != NULL) at = (at + 1) % spellingSlots;
    table[at].folded = strdup(folded);
    table[at].element = strdup(element);
}

static int IsShortChar(unsigned char c) {
    return c > 0x20 && c < 0x7F && c != '.' && strchr("\"*+,/:;<=>?[\\]|", c) == NULL;
}

/* Up to `most` characters of a part as an 8.3 name writes them: spaces and
 * dots dropped, anything else 8.3 cannot hold written as _. */
static size_t ShortPart(const char* from, const char* end, char* out, size_t most) {
    size_t n = 0;
    for (const char* c = from; c < end && n < most; ++c) {
        const unsigned char byte = (unsigned char)*c;
        if (byte == ' ' || byte == '.' || (byte & 0xC0) == 0x80) continue;
        out[n++] = IsShortChar(byte) ? (char)byte : '_';
    }
    out[n] = 0;
    return n;
}

/* Whether a folded element fits 8.3 as it is (then it has no alias). */
static int FitsShortName(const char* element) {
    const char* dot = strrchr(element, '.');
    const size_t base = dot ? (size_t)(dot - element) : strlen(element);
    const size_t extension = dot ? strlen(dot + 1) : 0;
    if (base == 0 || base > 8 || extension > 3 || (dot && extension == 0)) return 0;
    for (const char* c = element; *c; ++c)
        if (c != dot && !IsShortChar((unsigned char)*c)) return 0;
    return 1;
}

/* Gives a new element that is not 8.3 the first free alias STEM~1 to ~4 in
 * its folder, as NTFS does. `folded` is its folded path, `start` where the
 * element begins in it. */
static void MakeAlias(const char* folded, size_t start) {
    const char* element = folded + start;
    if (FitsShortName(element)) return;
    const char* dot = strrchr(element, '.');
    char stem[8], extension[4];
    ShortPart(element, dot ? dot : element + strlen(element), stem, 6);
    ShortPart(dot ? dot + 1 : "", dot ? dot + strlen(dot) : "", extension, 3);
    char* alias = malloc(start + 16);
    for (int n = 1; n <= 4; ++n) {
        sprintf(alias, "%.*s%s~%d%s%s", (int)start, folded, stem, n, extension[0] ? "." : "",
                extension);
        if (Lookup(aliases, alias) == NULL && Lookup(spellings, alias) == NULL) {
            Insert(aliases, alias, folded);
            break;
        }
    }
    free(alias);
}

/* `text` with the characters special to a basic regular expression (or, as
 * a replacement, & and \) escaped. */
static char* EscapeFor(const char* text, const char* special) {
    char* out = malloc(strlen(text) * 2 + 1);
    size_t n = 0;
    for (; *text; ++text) {
        if (strchr(special, *text)) out[n++] = '\\';
        out[n++] = *text;
    }
    out[n] = 0;
    return out;
}

/* The -s substitutions that make bsdtar store each listed name where
 * Windows' tar.exe would; NULL (after a message) when a name cannot be
 * created at all. `*count` gets the number of arguments. */
static char** WindowsNames(char* listing, int* count) {
    size_t lines = 1, elements = 1;
    for (const char* c = listing; *c; ++c) {
        lines += *c == '\n';
        elements += *c == '\n' || *c == '/';
    }
    /* Each element adds at most one spelling and one alias. */
    spellingSlots = elements * 4 + 16;
    spellings = calloc(spellingSlots, sizeof(Spelling));
    aliases = calloc(spellingSlots, sizeof(Spelling));
    char** rules = calloc(lines * 2 + 1, sizeof(char*));
    *count = 0;
    for (char* line = strtok(listing, "\n"); line != NULL; line = strtok(NULL, "\n")) {
        char* name = malloc(strlen(line) + 1);
        if (!Unescape(line, name)) {
            Say("tar: Can't create '");
            Say(line);
            Say("'\n");
            return NULL;
        }
        size_t length = strlen(name);
        char* stored = malloc(length + 1);
        strcpy(stored, name);
        for (char* c = stored; *c; ++c)
            if (strchr(":*?\"<>|", *c)) *c = '_';
        /* Element by element, each folded prefix keeps its first spelling;
         * an element named like an alias stands for the file it aliases. */
        char* final = malloc(length * 4 + 2);
        final[0] = 0;
        char* key = calloc(1, 1);
        size_t start = 0;
        while (start < length) {
            size_t end = start;
            while (end < length && stored[end] != '/') ++end;
            char* element = strndup(stored + start, end - start);
            char* foldedElement = Fold(element, strlen(element));
            const size_t at = key[0] ? strlen(key) + 1 : 0;
            char* folded = malloc(at + strlen(foldedElement) + 1);
            sprintf(folded, "%s%s%s", key, key[0] ? "/" : "", foldedElement);
            free(foldedElement);
            const char* target = Lookup(aliases, folded);
            if (target != NULL) {
                free(folded);
                folded = strdup(target);
            } else if (Lookup(spellings, folded) == NULL) {
                MakeAlias(folded, at);
            }
            free(key);
            key = strdup(folded);
            const char* first = FirstSpelling(folded, element);
            if (final[0] || start > 0) strcat(final, "/");
            strcat(final, first);
            free(element);
            start = end + 1;
        }
        free(key);
        if (length > 0 && stored[length - 1] == '/') strcat(final, "/");
        if (strcmp(final, name) != 0) {
            char* pattern = EscapeFor(name, ".[]*^$\\");
            char* replacement = EscapeFor(final, "&\\");
            char* rule = malloc(strlen(pattern) + strlen(replacement) + 8);
            sprintf(rule, "\001^%s$\001%s\001HS", pattern, replacement);
            rules[(*count)++] = "-s";
            rules[(*count)++] = rule;
        }
    }
    return rules;
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

    /* An extraction (-x in the first option word) is told where Windows
     * would store each name. */
    const char* archive = NULL;
    int extracting = count > 1 && args[1][0] == '-' && args[1][1] != '-' && strchr(args[1], 'x');
    for (int i = 2; i < count; ++i) {
        const size_t length = strlen(args[i - 1]);
        if (args[i - 1][0] == '-' && args[i - 1][length - 1] == 'f') archive = args[i];
    }
    int status = 0;
    if (extracting && archive != NULL) {
        char* list[] = {"/usr/bin/bsdtar", "-tf", (char*)archive, NULL};
        char* listing = RunBsdtar(list, 1, &status);
        if (listing == NULL || status != 0) {
            Say(listing ? listing : "");
            return status ? status : 1;
        }
        int rules = 0;
        char** substitutions = WindowsNames(listing, &rules);
        if (substitutions == NULL) return 1;
        char** all = calloc(count + rules + 1, sizeof(char*));
        all[0] = args[0];
        memcpy(all + 1, substitutions, sizeof(char*) * rules);
        memcpy(all + 1 + rules, args + 1, sizeof(char*) * (count - 1));
        args = all;
    }
    RunBsdtar(args, 0, &status);
    return status;
}
