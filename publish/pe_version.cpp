#include "publish/pe_version.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "format/utf8.h"

namespace {

// The bytes of an executable that were kept, each piece at its offset in the
// file: the whole file, or its headers and the section holding its
// resources. Every read is checked against them, so no offset the file gives
// can reach past what is there.
class Image {
  public:
    explicit Image(const std::string& bytes) : pieces_{{0, &bytes}} {}
    Image(const std::string& head, uint64_t partAt, const std::string& part)
        : pieces_{{0, &head}, {partAt, &part}} {}

    uint32_t U16(uint64_t at) const { return Byte(at) | (Byte(at + 1) << 8); }
    uint32_t U32(uint64_t at) const { return U16(at) | (U16(at + 2) << 16); }
    uint32_t Byte(uint64_t at) const {
        for (const Piece& piece : pieces_) {
            if (at >= piece.at && at - piece.at < piece.bytes->size()) {
                return static_cast<unsigned char>((*piece.bytes)[at - piece.at]);
            }
        }
        throw std::runtime_error("The executable is truncated");
    }

  private:
    struct Piece {
        uint64_t at;
        const std::string* bytes;
    };
    std::vector<Piece> pieces_;
};

struct Section {
    uint32_t virtualAddress, virtualSize, rawOffset, rawSize;
};

// Where the headers place the sections and the resource directory.
struct Layout {
    bool pe32Plus = false;
    bool guiSubsystem = false;
    std::vector<Section> sections;
    uint32_t resourceRva = 0;  // 0: no resources
};

const Section* SectionOf(const std::vector<Section>& sections, uint32_t rva) {
    for (const Section& s : sections) {
        const uint32_t span = std::max(s.virtualSize, s.rawSize);
        if (rva >= s.virtualAddress && rva - s.virtualAddress < span) return &s;
    }
    return nullptr;
}

uint64_t FileOffset(const std::vector<Section>& sections, uint32_t rva) {
    const Section* section = SectionOf(sections, rva);
    if (section == nullptr) throw std::runtime_error("The executable's resources are damaged");
    return uint64_t{section->rawOffset} + (rva - section->virtualAddress);
}

constexpr char NotExecutable[] = "The file is not a Windows executable";

// The headers of a PE image, 32- or 64-bit; the section table is read in
// full, so a count the file cannot hold is refused as truncated.
Layout ReadLayout(const Image& image) {
    uint64_t pe = 0;
    bool marked = false;  // "MZ", then "PE\0\0" and a whole file header
    try {
        pe = image.U32(0x3C);
        image.Byte(pe + 23);
        marked = image.U16(0) == 0x5A4D && image.U32(pe) == 0x4550;
    } catch (const std::exception&) {
    }
    if (!marked) throw std::runtime_error(NotExecutable);
    Layout layout;
    const uint64_t optional = pe + 24;
    const uint32_t magic = image.U16(optional);
    layout.pe32Plus = image.U16(pe + 4) == 0x8664 && magic == 0x20B;
    if (magic != 0x10B && magic != 0x20B) return layout;
    layout.guiSubsystem = image.U16(optional + 68) == 2;
    const uint64_t directoryCount = optional + (magic == 0x20B ? 108 : 92);
    const size_t sectionCount = image.U16(pe + 6);
    for (uint64_t i = 0, at = optional + image.U16(pe + 20); i < sectionCount; ++i, at += 40) {
        layout.sections.push_back(
            {image.U32(at + 12), image.U32(at + 8), image.U32(at + 20), image.U32(at + 16)});
    }
    if (image.U32(directoryCount) >= 3) layout.resourceRva = image.U32(directoryCount + 4 + 2 * 8);
    return layout;
}

// The data of the first resource of `type` (its first name or id, and that
// one's first language): its file offset and size, or nullopt when there is
// none.
std::optional<std::pair<uint64_t, uint32_t>> FindResource(const Image& image, const Layout& layout,
                                                          uint32_t type) {
    if (layout.resourceRva == 0) return std::nullopt;
    const uint64_t resources = FileOffset(layout.sections, layout.resourceRva);
    uint64_t directory = resources;
    for (int level = 0; level < 3; ++level) {
        const size_t entries = image.U16(directory + 12) + image.U16(directory + 14);
        uint32_t found = 0;
        bool matched = false;
        for (size_t i = 0; i < entries && !matched; ++i) {
            const uint64_t entry = directory + 16 + 8 * i;
            if (level == 0 && image.U32(entry) != type) continue;
            found = image.U32(entry + 4);
            matched = true;
        }
        if (!matched) return std::nullopt;
        // Two levels of folders, then the data's own record.
        const bool subdirectory = (found & 0x80000000u) != 0;
        if (subdirectory != (level < 2)) {
            throw std::runtime_error("The executable's resources are damaged");
        }
        directory = resources + (found & 0x7FFFFFFFu);
    }
    return std::make_pair(FileOffset(layout.sections, image.U32(directory)),
                          image.U32(directory + 4));
}

std::string Utf16ToUtf8(const Image& image, uint64_t at, size_t units) {
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
    const Layout layout = ReadLayout(image);
    ExecutableFacts facts;
    facts.pe32Plus = layout.pe32Plus;
    if (!facts.pe32Plus) return facts;
    facts.guiSubsystem = layout.guiSubsystem;
    if (const auto version = FindResource(image, layout, 16)) {
        ReadVersionBlock(image, version->first, version->first + version->second, 1,
                         facts.versionStrings);
    }
    return facts;
}

namespace {

constexpr size_t ManifestHeadSize = 64 << 10;
constexpr uint64_t ResourceSectionLimit = 8 << 20;
constexpr uint32_t ManifestLimit = 1 << 20;

}  // namespace

void ExecutableManifestReader::Add(const char* data, size_t size) {
    if (head_.size() < ManifestHeadSize) {
        const size_t take = std::min(size, ManifestHeadSize - head_.size());
        head_.append(data, take);
        seen_ += take;
        data += take;
        size -= take;
        if (head_.size() == ManifestHeadSize) Locate();
    }
    const uint64_t from = std::max(seen_, keepFrom_), to = std::min(seen_ + size, keepTo_);
    if (from < to) {
        if (kept_.empty()) keptAt_ = from;
        kept_.append(data + (from - seen_), static_cast<size_t>(to - from));
    }
    seen_ += size;
}

void ExecutableManifestReader::Locate() {
    try {
        const Layout layout = ReadLayout(Image(head_));
        const Section* section =
            layout.resourceRva == 0 ? nullptr : SectionOf(layout.sections, layout.resourceRva);
        if (section != nullptr) {
            keepFrom_ = std::max<uint64_t>(section->rawOffset, ManifestHeadSize);
            keepTo_ =
                std::max(keepFrom_, uint64_t{section->rawOffset} +
                                        std::min<uint64_t>(section->rawSize, ResourceSectionLimit));
        }
    } catch (const std::exception&) {
        // Headers that cannot be read: nothing is kept, and no manifest found.
    }
}

std::string ExecutableManifestReader::Manifest() const {
    try {
        const Image image(head_, keptAt_, kept_);
        const auto found = FindResource(image, ReadLayout(image), 24);
        if (!found || found->second > ManifestLimit) return "";
        std::string manifest;
        for (uint64_t at = found->first; at < found->first + found->second; ++at) {
            manifest.push_back(static_cast<char>(image.Byte(at)));
        }
        return manifest;
    } catch (const std::exception&) {
        return "";
    }
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
