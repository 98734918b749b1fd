#include "base/launcher_error.h"

#include "base/text.h"

std::wstring DescribeFailure(const std::exception& error) noexcept {
    try {
        return Utf8ToUtf16(error.what());
    } catch (...) {
        return L"The update failed.";
    }
}
