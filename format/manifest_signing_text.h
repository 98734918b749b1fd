#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "format/manifest_keys.h"
#include "format/manifest_object.h"

// What a release signature covers, shared by the launcher that checks it and
// the release tool that makes it.

// Keys beyond the four values that a launcher built with a release key reads,
// in the order they are signed. Each new key goes at the end.
inline constexpr const char* SignedManifestKeys[] = {"sequence", "expires", ByteRangesKey,
                                                     BuildIndexKey};

// The signature keys: "signature" covers the four values only (what the
// first keyed launchers check), "full-signature" the full signing text, and
// "full-signature-2" every key the manifest carries (SecondFullSigningText).
inline constexpr char FourValueSignatureKey[] = "signature";
inline constexpr char FullSignatureKey[] = "full-signature";
inline constexpr char SecondFullSignatureKey[] = "full-signature-2";

// The keys that "full-signature" and "signature" cover or that are
// signatures, with "platform", which the release tool has always written and
// no launcher reads. A manifest with any other key (a key added later) is
// trusted only with "full-signature-2", which launchers that know no such key
// also check.
inline constexpr const char* FirstSignedManifestKeys[] = {"version",        "url",
                                                          "sha256",         "executable",
                                                          "platform",       "sequence",
                                                          "expires",        ByteRangesKey,
                                                          BuildIndexKey,    FourValueSignatureKey,
                                                          FullSignatureKey, SecondFullSignatureKey};

// The values of "version", "url", "sha256" and "executable" as the launcher
// reads them (escapes resolved, the digest in lowercase, "tessik.exe" for an
// empty executable), each followed by one line feed.
std::string ManifestSigningText(const std::string& version, const std::string& url,
                                const std::string& sha256, const std::string& executable);

// `fourValues` (ManifestSigningText), then "name=value" and a line feed for
// each key of SignedManifestKeys that the manifest carries as a string.
std::string FullSigningText(const std::string& fourValues, const ManifestObject& manifest);

// Whether a value read from a manifest holds a byte below 0x20 or 0x7F: in
// a signing text, a line feed would let one value pose as another key's line.
bool HoldsControlCharacter(const std::string& value);

// Whether a value that "signature" or "full-signature" covers holds a control
// character.
bool FirstSignedValuesHoldControlCharacter(const ManifestObject& manifest);

// Whether the manifest may be trusted only with "full-signature-2": it
// carries a key outside FirstSignedManifestKeys, or a value that is no
// string, so what it carries cannot be told by the first two.
bool NeedsSecondFullSignature(const ManifestObject& manifest);

// What "full-signature-2" covers: "name=value" and a line feed for every key
// of the manifest but the signature keys, in the byte order of the names, each
// value with its escapes resolved and as written otherwise (the digest not
// lowered). nullopt when the manifest cannot be signed so: a value is no
// string, a name is empty or holds "=" or a control character, or a value
// holds a control character.
std::optional<std::string> SecondFullSigningText(const ManifestObject& manifest);

// Whether every key that a launcher has ever read (FirstSignedManifestKeys,
// "keep_builds") and every key of `manifest`, the object of `text`, reads the
// same with the key lookup: launchers shipped before the strict reader take
// the first occurrence of a quoted key anywhere, so a value that holds a
// key's quoted name would read as that key. The release tool publishes only
// manifests that read alike.
bool KeyLookupReadsAsObject(const std::string& text, const ManifestObject& manifest);

// A "sequence" value: 1 to 20 decimal digits that fit 64 bits, nothing else.
std::optional<std::uint64_t> ParseManifestSequence(const std::string& value);

// An "expires" value, "YYYY-MM-DDTHH:MM:SSZ" (UTC), as seconds since
// 1970-01-01; nullopt for any other form or an impossible date.
std::optional<std::int64_t> ParseUtcTimestamp(const std::string& value);

// Seconds since 1970-01-01 (UTC) as "YYYY-MM-DDTHH:MM:SSZ", years 1970 to 9999.
std::string FormatUtcTimestamp(std::int64_t seconds);
