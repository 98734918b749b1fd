#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "base/manifest_keys.h"

// What a release signature covers, shared by the launcher that checks it and
// the release tool that makes it.

// Keys beyond the four values that a launcher built with a release key reads,
// in the order they are signed. Each new key goes at the end; its name and
// value must never contain the quoted name of another key, since the reader
// takes the first occurrence of a quoted key anywhere in the text.
inline constexpr const char* SignedManifestKeys[] = {"sequence", "expires", ByteRangesKey,
                                                     BuildIndexKey};

// The two signature keys: "signature" covers the four values only (what the
// first keyed launchers check), "full-signature" the full signing text.
inline constexpr char FourValueSignatureKey[] = "signature";
inline constexpr char FullSignatureKey[] = "full-signature";

// The values of "version", "url", "sha256" and "executable" as the launcher
// reads them (escapes resolved, the digest in lowercase, "tessik.exe" for an
// empty executable), each followed by one line feed.
std::string ManifestSigningText(const std::string& version, const std::string& url,
                                const std::string& sha256, const std::string& executable);

// Whether the quoted key occurs anywhere in the text.
bool CarriesJsonKey(const std::string& text, const std::string& key);

// `fourValues` (ManifestSigningText), then "name=value" and a line feed for
// each key of SignedManifestKeys that the manifest `text` carries.
std::string FullSigningText(const std::string& fourValues, const std::string& text);

// A "sequence" value: 1 to 20 decimal digits that fit 64 bits, nothing else.
std::optional<std::uint64_t> ParseManifestSequence(const std::string& value);

// An "expires" value, "YYYY-MM-DDTHH:MM:SSZ" (UTC), as seconds since
// 1970-01-01; nullopt for any other form or an impossible date.
std::optional<std::int64_t> ParseUtcTimestamp(const std::string& value);

// Seconds since 1970-01-01 (UTC) as "YYYY-MM-DDTHH:MM:SSZ", years 1970 to 9999.
std::string FormatUtcTimestamp(std::int64_t seconds);
