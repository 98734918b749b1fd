// Signs a manifest as the release tool does, for the signed-release tests
// (native, beside the release tool):
//   sign_manifest sign PRIVATE.pem IN.json OUT.json   OUT is IN with "signature" added, and
//                                                     "full-signature" when IN carries a
//                                                     further signed key
//   sign_manifest verify PUBLIC.pem MANIFEST.json     exit 0 when both verify, 1 when not
#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

#include "base/json_field.h"
#include "publish/manifest_signing.h"

namespace {

std::string ReadWhole(const char* path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error(std::string("cannot read ") + path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string FourValuesOf(const std::string& manifest) {
    return ManifestSigningText(ReadJsonStringField(manifest, "version", true),
                               ReadJsonStringField(manifest, "url", true),
                               ReadJsonStringField(manifest, "sha256", true),
                               ReadJsonStringField(manifest, "executable", false));
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const std::string command = argc > 1 ? argv[1] : "";
        if (command == "sign" && argc == 5) {
            std::string manifest = ReadWhole(argv[3]);
            const std::string fourValues = FourValuesOf(manifest);
            const std::string fullText = FullSigningText(fourValues, manifest);
            std::string keys = ",\"signature\":\"" + SignManifestText(fourValues, argv[2]) + "\"";
            if (fullText != fourValues) {
                keys += ",\"full-signature\":\"" + SignManifestText(fullText, argv[2]) + "\"";
            }
            manifest.insert(manifest.rfind('}'), keys);
            std::ofstream(argv[4], std::ios::binary) << manifest;
            return 0;
        }
        if (command == "verify" && argc == 4) {
            const std::string manifest = ReadWhole(argv[3]);
            const std::string fourValues = FourValuesOf(manifest);
            const std::string fullText = FullSigningText(fourValues, manifest);
            const std::string full = ReadJsonStringField(manifest, FullSignatureKey, false);
            const bool verified =
                VerifyManifestSignature(fourValues,
                                        ReadJsonStringField(manifest, FourValueSignatureKey, false),
                                        argv[2]) &&
                (full.empty() ? fullText == fourValues
                              : VerifyManifestSignature(fullText, full, argv[2]));
            return verified ? 0 : 1;
        }
        std::fprintf(stderr, "usage: see the top of sign_manifest.cpp\n");
    } catch (const std::exception& error) {
        std::fprintf(stderr, "sign_manifest: %s\n", error.what());
    }
    return 2;
}
