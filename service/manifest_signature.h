#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "build_config.h"
#include "service/update_manifest.h"

// A release signature is ECDSA P-256 over the SHA-256 of a signing text
// (format/manifest_signing_text.h), written as 128 hex digits, r then s: in
// "signature" over the four values, in "full-signature" over the four values
// and the further keys the manifest carries, and in "full-signature-2" over
// every key but the signatures.

// r then s from the 128 hex digits of a signature value (either case);
// anything else raises "The update manifest signature is not valid".
std::array<unsigned char, 64> ManifestSignatureBytes(const std::string& hex);

// Raises unless the manifest `text`, read into `manifest` by the keyed ParseUpdateManifest,
// is signed by `publicKeyHex` (X then Y of a P-256 key, 128 hex digits). The
// signing texts are built from the strict object of the text ("The update
// manifest is malformed" for a text that is none). The signature needed is
// "full-signature-2" when present, and always when the manifest carries a key
// outside FirstSignedManifestKeys; otherwise "full-signature" when present,
// and always when it carries a key of SignedManifestKeys; otherwise
// "signature". Every other signature the manifest carries must verify too, so
// that none of their keys can hold anything else. "The update manifest is not
// signed" when it carries no signature it could be checked with, "The update
// manifest signature is not valid" when the one it needs is absent or one does
// not verify, or a signed value holds a control character.
void CheckManifestSignature(const std::string& text, const UpdateManifest& manifest,
                            const char* publicKeyHex);

// Whether this launcher was built with a release key.
inline constexpr bool KeyedLauncher = sizeof(ReleasePublicKey) > 1;

// How both manifests are read: ParseUpdateManifest and, in a launcher built
// with a release key, the strict read of every key, the signature check, then
// CheckManifestFreshness against `remembered` (the highest sequence accepted for this kind of
// manifest; nullopt: none, or not to be consulted) and the clock. Inline, so
// that a launcher built without a key is the same program as one that calls
// ParseUpdateManifest.
inline UpdateManifest ReadUpdateManifest(const std::string& text,
                                         const std::string& expectedExecutable,
                                         std::optional<std::uint64_t> remembered = std::nullopt) {
    if constexpr (KeyedLauncher) {
        UpdateManifest manifest = ParseUpdateManifest(text, expectedExecutable, true);
        CheckManifestSignature(text, manifest, ReleasePublicKey);
        const auto now = std::chrono::duration_cast<std::chrono::seconds>(
            std::chrono::system_clock::now().time_since_epoch());
        manifest.sequence = CheckManifestFreshness(text, remembered, now.count());
        return manifest;
    } else {
        (void)remembered;
        return ParseUpdateManifest(text, expectedExecutable);
    }
}
