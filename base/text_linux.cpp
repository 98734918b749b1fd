// The launcher's text conversion for the release machine: the same strict
// UTF-8 rule and message, producing the host's wide text.
#include "base/launcher_error.h"
#include "base/text.h"
#include "format/utf8.h"

std::wstring Utf8ToUtf16(const std::string& text) {
    std::wstring out;
    for (size_t at = 0; at < text.size();) {
        const std::optional<char32_t> point = DecodeUtf8(text, at);
        if (!point) throw LauncherError("The update service returned invalid text");
        out.push_back(static_cast<wchar_t>(*point));
    }
    return out;
}
