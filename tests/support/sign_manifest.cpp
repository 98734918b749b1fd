// Signs a manifest as the release tool does, for the signed-release tests
// (native, beside the release tool):
//   sign_manifest sign PRIVATE.pem IN.json OUT.json   OUT is IN with "signature" added,
//                                                     "full-signature" when IN carries a
//                                                     further signed key, and
//                                                     "full-signature-2" when it carries a
//                                                     key only that one covers
//   sign_manifest verify PUBLIC.pem MANIFEST.json     exit 0 when all verify, 1 when not
#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

#include "format/json.h"
#include "format/manifest_object.h"
#include "publish/manifest_signing.h"

namespace {

std::string ReadWhole(const char* path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error(std::string("cannot read ") + path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string FourValuesOf(const std::string& manifest) {
    const ManifestFields read = ReadManifestFields(manifest, true);
    return ManifestSigningText(read.version, read.url, read.sha256, read.executable);
}

std::string KeyText(const char* name, const std::string& value) {
    return ",\"" + std::string(name) + "\":\"" + value + "\"";
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const std::string command = argc > 1 ? argv[1] : "";
        if (command == "sign" && argc == 5) {
            std::string manifest = ReadWhole(argv[3]);
            const std::string fourValues = FourValuesOf(manifest);
            const ManifestObject object = ReadJsonObject(manifest).value();
            const std::string fullText = FullSigningText(fourValues, object);
            std::string keys =
                KeyText(FourValueSignatureKey, SignManifestText(fourValues, argv[2]));
            if (fullText != fourValues) {
                keys += KeyText(FullSignatureKey, SignManifestText(fullText, argv[2]));
            }
            if (NeedsSecondFullSignature(object)) {
                const auto secondText = SecondFullSigningText(object);
                if (!secondText) throw std::runtime_error("cannot sign every key of this text");
                keys += KeyText(SecondFullSignatureKey, SignManifestText(*secondText, argv[2]));
            }
            manifest.insert(manifest.rfind('}'), keys);
            std::ofstream(argv[4], std::ios::binary) << manifest;
            return 0;
        }
        if (command == "verify" && argc == 4) {
            return ManifestSignaturesVerify(ReadWhole(argv[3]), argv[2]) ? 0 : 1;
        }
        std::fprintf(stderr, "usage: see the top of sign_manifest.cpp\n");
    } catch (const std::exception& error) {
        std::fprintf(stderr, "sign_manifest: %s\n", error.what());
    }
    return 2;
}
