#pragma once

#include <filesystem>
#include <string>

// Release signatures for the manifests the tool writes, as a launcher built
// with a release key checks them: ECDSA P-256 over the SHA-256 of the signing
// text. Refusals are std::runtime_error with one sentence for the release
// engineer.

// The values of "version", "url", "sha256" and "executable" as the launcher
// reads them back, each followed by one line feed: the digest in lowercase,
// "tessik.exe" for an empty executable. Values are given unescaped, as they
// stand before they are written into the JSON text.
std::string ManifestSigningText(const std::string& version, const std::string& url,
                                const std::string& sha256, const std::string& executable);

// The manifest's "signature" value: 128 lowercase hex digits, r then s, each
// 32 bytes big-endian.
std::string SignManifestText(const std::string& text, const std::filesystem::path& privateKeyPem);

// Whether `signatureHex` (as SignManifestText writes it) is a signature of
// `text` by the public key. False for a signature of any other form.
bool VerifyManifestSignature(const std::string& text, const std::string& signatureHex,
                             const std::filesystem::path& publicKeyPem);

// The public half of the signing key as a launcher built with it records it:
// X then Y, 128 lowercase hex digits.
std::string SigningKeyPublicHex(const std::filesystem::path& privateKeyPem);
