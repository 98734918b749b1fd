#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "format/manifest_signing_text.h"
#include "publish/manifest_json.h"

// Release signatures for the manifests the tool writes, as a launcher built
// with a release key checks them: ECDSA P-256 over the SHA-256 of the signing
// text. Refusals are std::runtime_error with one sentence for the release
// engineer.

// The "sequence" of a manifest that replaces one whose sequence is `live`
// (nullopt: none or unreadable): the larger of live + 1 and `now` (seconds
// since 1970, UTC), so a studio that has lost its release tree still issues a
// higher number than any before.
std::uint64_t NextManifestSequence(std::optional<std::uint64_t> live, std::int64_t now);

// A signature value ("signature", "full-signature") of `text`: 128 lowercase hex digits, r then s,
// each 32 bytes big-endian.
std::string SignManifestText(const std::string& text, const std::filesystem::path& privateKeyPem);

// Whether `signatureHex` (as SignManifestText writes it) is a signature of
// `text` by the public key. False for a signature of any other form.
bool VerifyManifestSignature(const std::string& text, const std::string& signatureHex,
                             const std::filesystem::path& publicKeyPem);

// The public half of the signing key as a launcher built with it records it:
// X then Y, 128 lowercase hex digits.
std::string SigningKeyPublicHex(const std::filesystem::path& privateKeyPem);

// The manifest text of `fields` with its three signatures made by the key:
// "signature", "full-signature" (both for the launchers already shipped) and
// "full-signature-2". Refuses fields whose text would not read back as signed.
std::string SignedManifestJson(ManifestFields fields, const std::filesystem::path& privateKeyPem);

// Whether the key verifies every signature of the manifest `text` that a
// launcher may check, and the text needs none it lacks.
bool ManifestSignaturesVerify(const std::string& text, const std::filesystem::path& publicKeyPem);
