// The launcher's text conversion for the release machine: the same strict
// UTF-8 rule and message, producing the host's wide text.
#include "base/launcher_error.h"
#include "base/text.h"

std::wstring Utf8ToUtf16(const std::string& text) {
    std::wstring out;
    for (size_t i = 0; i < text.size();) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        size_t extra = 0;
        char32_t c = 0;
        if (lead < 0x80) {
            c = lead;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            extra = 1, c = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            extra = 2, c = lead & 0x0F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            extra = 3, c = lead & 0x07;
        } else {
            throw LauncherError("The update service returned invalid text");
        }
        for (size_t k = 1; k <= extra; ++k) {
            if (i + k >= text.size() || (static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) {
                throw LauncherError("The update service returned invalid text");
            }
            c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        }
        const bool overlong = (extra == 2 && c < 0x800) || (extra == 3 && c < 0x10000);
        if (overlong || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            throw LauncherError("The update service returned invalid text");
        }
        out.push_back(static_cast<wchar_t>(c));
        i += extra + 1;
    }
    return out;
}
