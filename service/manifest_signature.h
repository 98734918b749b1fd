#pragma once

#include <array>
#include <string>

#include "build_config.h"
#include "service/update_manifest.h"

// A release signature is ECDSA P-256 over the SHA-256 of the manifest's
// signing text, written in the manifest's "signature" key as 128 hex digits,
// r then s.

// The signing text: the values of "version", "url", "sha256" and "executable"
// as the launcher reads them (escapes resolved, the digest in lowercase, the
// executable "tessik.exe" when the manifest names none, the url as UTF-8),
// each followed by one line feed. The release tool makes the same text.
std::string ManifestSigningText(const std::string& version, const std::string& url,
                                const std::string& sha256, const std::string& executable);

// r then s from the 128 hex digits of a "signature" value (either case);
// anything else raises "The update manifest signature is not valid".
std::array<unsigned char, 64> ManifestSignatureBytes(const std::string& hex);

// Raises unless the manifest `text`, already read into `manifest`, carries a
// signature of its signing text by `publicKeyHex` (X then Y of a P-256 key,
// 128 hex digits): "The update manifest is not signed" when the key
// "signature" is absent or empty, "The update manifest signature is not
// valid" when it does not verify.
void CheckManifestSignature(const std::string& text, const UpdateManifest& manifest,
                            const char* publicKeyHex);

// How both manifests are read: ParseUpdateManifest and, in a launcher built
// with a release key, the signature check. Inline, so that a launcher built
// without a key is the same program as one that calls ParseUpdateManifest.
inline UpdateManifest ReadUpdateManifest(const std::string& text,
                                         const std::string& expectedExecutable) {
    if constexpr (sizeof(ReleasePublicKey) > 1) {
        UpdateManifest manifest = ParseUpdateManifest(text, expectedExecutable);
        CheckManifestSignature(text, manifest, ReleasePublicKey);
        return manifest;
    } else {
        return ParseUpdateManifest(text, expectedExecutable);
    }
}
