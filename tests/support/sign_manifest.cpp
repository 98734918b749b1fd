// Signs a manifest as the release tool does, for the signed-release tests
// (native, beside the release tool):
//   sign_manifest sign PRIVATE.pem IN.json OUT.json   OUT is IN with "signature" added
//   sign_manifest verify PUBLIC.pem MANIFEST.json     exit 0 when it verifies, 1 when not
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

std::string SigningTextOf(const std::string& manifest) {
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
            const std::string signature = SignManifestText(SigningTextOf(manifest), argv[2]);
            manifest.insert(manifest.rfind('}'), ",\"signature\":\"" + signature + "\"");
            std::ofstream(argv[4], std::ios::binary) << manifest;
            return 0;
        }
        if (command == "verify" && argc == 4) {
            const std::string manifest = ReadWhole(argv[3]);
            return VerifyManifestSignature(SigningTextOf(manifest),
                                           ReadJsonStringField(manifest, "signature", false),
                                           argv[2])
                       ? 0
                       : 1;
        }
        std::fprintf(stderr, "usage: see the top of sign_manifest.cpp\n");
    } catch (const std::exception& error) {
        std::fprintf(stderr, "sign_manifest: %s\n", error.what());
    }
    return 2;
}
