#include "publish/pe_version.h"

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "format/utf8.h"

namespace {

class Image {
  public:
    explicit Image(const std::string& bytes) : bytes_(bytes) {}

    uint32_t U16(size_t at) const { return Byte(at) | (Byte(at + 1) << 8); }
    uint32_t U32(size_t at) const { return U16(at) | (U16(at + 2) << 16); }
    size_t size() const { return bytes_.size(); }

  private:
    uint32_t Byte(size_t at) const {
        if (at >= bytes_.size()) throw std::runtime_error("The executable is truncated");
        return static_cast<unsigned char>(bytes_[at]);
    }
    const std::string& bytes_;
};

struct Section {
    uint32_t virtualAddress, virtualSize, rawOffset, rawSize;
};

size_t FileOffset(const std::vector<Section>& sections, uint32_t rva) {
    for (const Section& s : sections) {
        const uint32_t span = std::max(s.virtualSize, s.rawSize);
        if (rva >= s.virtualAddress && rva - s.virtualAddress < span) {
            return s.rawOffset + (rva - s.virtualAddress);
        }
    }
    throw std::runtime_error("The executable's resources are damaged");
}

std::string Utf16ToUtf8(const Image& image, size_t at, size_t units) {
    std::string out;
    for (size_t i = 0; i < units; ++i) {
        uint32_t c = image.U16(at + 2 * i);
        if (c == 0) break;
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < units) {
            const uint32_t low = image.U16(at + 2 * (i + 1));
            if (low >= 0xDC00 && low < 0xE000) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        // A half of a pair alone is no character.
        AppendUtf8(out, c >= 0xD800 && c < 0xE000 ? 0xFFFD : c);
    }
    return out;
}

size_t Align4(size_t at) { return (at + 3) & ~static_cast<size_t>(3); }

// One block of a version record: length, value length, type, key, value,
// children. String blocks (type 1 inside a StringTable) carry their text.
void ReadVersionBlock(const Image& image, size_t at, size_t end, int depth,
                      std::map<std::string, std::string>& strings) {
    const size_t length = image.U16(at);
    const size_t valueLength = image.U16(at + 2);
    const uint32_t type = image.U16(at + 4);
    if (length < 6 || at + length > end || depth > 5) {
        throw std::runtime_error("The executable's version record is damaged");
    }
    const size_t blockEnd = at + length;
    size_t keyEnd = at + 6;
    while (image.U16(keyEnd) != 0) keyEnd += 2;
    const std::string key = Utf16ToUtf8(image, at + 6, (keyEnd - at - 6) / 2);
    const size_t value = Align4(keyEnd + 2);
    if (depth == 4 && type == 1) {
        strings[key] = Utf16ToUtf8(image, value, valueLength);
        return;
    }
    const size_t valueBytes = type == 1 ? valueLength * 2 : valueLength;
    for (size_t child = Align4(value + valueBytes); child + 6 <= blockEnd;) {
        const size_t childLength = image.U16(child);
        if (childLength == 0) break;
        ReadVersionBlock(image, child, blockEnd, depth + 1, strings);
        child = Align4(child + childLength);
    }
}

}  // namespace

ExecutableFacts ReadExecutableFacts(const std::string& bytes) {
    const Image image(bytes);
    if (bytes.size() < 0x40 || bytes.compare(0, 2, "MZ") != 0) {
        throw std::runtime_error("The file is not a Windows executable");
    }
    const size_t pe = image.U32(0x3C);
    if (pe + 24 > bytes.size() || bytes.compare(pe, 4, std::string("PE\0\0", 4)) != 0) {
        throw std::runtime_error("The file is not a Windows executable");
    }
    ExecutableFacts facts;
    const size_t optional = pe + 24;
    const uint32_t machine = image.U16(pe + 4);
    const size_t sectionCount = image.U16(pe + 6);
    const size_t optionalSize = image.U16(pe + 20);
    facts.pe32Plus = machine == 0x8664 && image.U16(optional) == 0x20B;
    if (!facts.pe32Plus) return facts;
    facts.guiSubsystem = image.U16(optional + 68) == 2;

    std::vector<Section> sections;
    for (size_t i = 0, at = optional + optionalSize; i < sectionCount; ++i, at += 40) {
        sections.push_back(
            {image.U32(at + 12), image.U32(at + 8), image.U32(at + 20), image.U32(at + 16)});
    }
    const uint32_t directories = image.U32(optional + 108);
    if (directories < 3) return facts;
    const uint32_t resourceRva = image.U32(optional + 112 + 2 * 8);
    if (resourceRva == 0) return facts;
    const size_t resources = FileOffset(sections, resourceRva);

    // Type RT_VERSION (16), then its first name and first language.
    size_t directory = resources;
    const uint32_t wanted[] = {16, 0, 0};
    for (int level = 0; level < 3; ++level) {
        const size_t entries = image.U16(directory + 12) + image.U16(directory + 14);
        size_t found = 0;
        bool matched = false;
        for (size_t i = 0; i < entries && !matched; ++i) {
            const size_t entry = directory + 16 + 8 * i;
            if (level == 0 && image.U32(entry) != wanted[0]) continue;
            found = image.U32(entry + 4);
            matched = true;
        }
        if (!matched) return facts;  // no version record
        const bool subdirectory = (found & 0x80000000u) != 0;
        if (level < 2 && !subdirectory)
            throw std::runtime_error("The executable's resources are damaged");
        directory = resources + (found & 0x7FFFFFFFu);
    }
    const size_t data = FileOffset(sections, image.U32(directory));
    const size_t size = image.U32(directory + 4);
    ReadVersionBlock(image, data, data + size, 1, facts.versionStrings);
    return facts;
}

bool IsWindowsProgramHeader(const std::string& head) {
    if (head.size() < 0x40 || head.compare(0, 2, "MZ") != 0) return false;
    const Image image(head);
    const size_t pe = image.U32(0x3C);
    if (pe > head.size() || head.size() - pe < 24 ||
        head.compare(pe, 4, std::string("PE\0\0", 4)) != 0) {
        return false;
    }
    constexpr uint32_t ExecutableImage = 0x0002, Dll = 0x2000;
    const uint32_t characteristics = image.U16(pe + 22);
    return (characteristics & ExecutableImage) != 0 && (characteristics & Dll) == 0;
}
