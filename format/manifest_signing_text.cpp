#include "format/manifest_signing_text.h"

#include <algorithm>
#include <charconv>
#include <exception>
#include <iterator>
#include <cstdio>

#include "format/json.h"
#include "format/manifest_keys.h"

namespace {

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
std::int64_t DaysFromCivil(std::int64_t year, unsigned month, unsigned day) {
    year -= month <= 2;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const unsigned yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<std::int64_t>(dayOfEra) - 719468;
}

}  // namespace

std::string ManifestSigningText(const std::string& version, const std::string& url,
                                const std::string& sha256, const std::string& executable) {
    std::string digest = sha256;
    for (char& c : digest) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return version + "\n" + url + "\n" + digest + "\n" +
           (executable.empty() ? std::string("tessik.exe") : executable) + "\n";
}

std::string FullSigningText(const std::string& fourValues, const ManifestObject& manifest) {
    std::string signingText = fourValues;
    for (const char* key : SignedManifestKeys) {
        const auto member = manifest.find(key);
        if (member != manifest.end() && member->second) {
            signingText += std::string(key) + "=" + *member->second + "\n";
        }
    }
    return signingText;
}

bool HoldsControlCharacter(const std::string& value) {
    for (const char c : value) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return true;
    }
    return false;
}

bool FirstSignedValuesHoldControlCharacter(const ManifestObject& manifest) {
    for (const char* key : {"version", "url", "sha256", "executable"}) {
        if (HoldsControlCharacter(StringMember(manifest, key))) return true;
    }
    for (const char* key : SignedManifestKeys) {
        if (HoldsControlCharacter(StringMember(manifest, key))) return true;
    }
    return false;
}

bool NeedsSecondFullSignature(const ManifestObject& manifest) {
    for (const auto& [name, value] : manifest) {
        if (!value ||
            std::find(std::begin(FirstSignedManifestKeys), std::end(FirstSignedManifestKeys),
                      name) == std::end(FirstSignedManifestKeys)) {
            return true;
        }
    }
    return false;
}

std::optional<std::string> SecondFullSigningText(const ManifestObject& manifest) {
    std::string signingText;
    for (const auto& [name, value] : manifest) {  // std::map: byte order of the names
        if (!value || name.empty() || name.find('=') != std::string::npos ||
            HoldsControlCharacter(name) || HoldsControlCharacter(*value)) {
            return std::nullopt;
        }
        if (name == FourValueSignatureKey || name == FullSignatureKey ||
            name == SecondFullSignatureKey) {
            continue;
        }
        signingText += name + "=" + *value + "\n";
    }
    return signingText;
}

bool KeyLookupReadsAsObject(const std::string& text, const ManifestObject& manifest) {
    const auto readsAlike = [&](const std::string& name) {
        const auto member = manifest.find(name);
        const bool carried = member != manifest.end();
        if ((text.find('"' + name + '"') != std::string::npos) != carried) return false;
        if (carried && !member->second) return false;
        try {
            return ReadJsonStringField(text, name, false) == StringMember(manifest, name);
        } catch (const std::exception&) {
            return false;
        }
    };
    for (const char* name : FirstSignedManifestKeys) {
        if (!readsAlike(name)) return false;
    }
    if (!readsAlike(KeepBuildsKey)) return false;
    for (const auto& member : manifest) {
        if (!readsAlike(member.first)) return false;
    }
    return true;
}

std::optional<std::uint64_t> ParseManifestSequence(const std::string& value) {
    if (value.empty() || value.size() > 20 ||
        value.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    std::uint64_t sequence = 0;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), sequence);
    if (error != std::errc() || end != value.data() + value.size()) return std::nullopt;
    return sequence;
}

std::optional<std::int64_t> ParseUtcTimestamp(const std::string& value) {
    unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    char zone = 0;
    if (value.size() != 20 || std::sscanf(value.c_str(), "%4u-%2u-%2uT%2u:%2u:%2u%c", &year, &month,
                                          &day, &hour, &minute, &second, &zone) != 7) {
        return std::nullopt;
    }
    if (month < 1 || month > 12 || day < 1 || hour > 23 || minute > 59 || second > 59) {
        return std::nullopt;
    }
    const std::int64_t seconds = DaysFromCivil(year, month, day) * 86400 + hour * 3600 +
                                 minute * 60 + static_cast<std::int64_t>(second);
    // Written back, an impossible date (February 30) or a sign or space that
    // sscanf let through comes out different.
    if (year < 1970 || FormatUtcTimestamp(seconds) != value) return std::nullopt;
    return seconds;
}

std::string FormatUtcTimestamp(std::int64_t seconds) {
    const std::int64_t days = seconds / 86400;
    const std::int64_t rest = seconds % 86400;
    // The inverse of DaysFromCivil.
    const std::int64_t shifted = days + 719468;
    const std::int64_t era = shifted / 146097;
    const unsigned dayOfEra = static_cast<unsigned>(shifted - era * 146097);
    const unsigned yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned monthIndex = (5 * dayOfYear + 2) / 153;
    const unsigned day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
    const unsigned month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
    const std::int64_t year = static_cast<std::int64_t>(yearOfEra) + era * 400 + (month <= 2);
    char text[96];
    std::snprintf(text, sizeof(text), "%04lld-%02u-%02uT%02lld:%02lld:%02lldZ",
                  static_cast<long long>(year), month, day, static_cast<long long>(rest / 3600),
                  static_cast<long long>(rest / 60 % 60), static_cast<long long>(rest % 60));
    return text;
}
