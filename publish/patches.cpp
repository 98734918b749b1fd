#include "publish/patches.h"

#include <archive.h>
#include <archive_entry.h>

#include <memory>
#include <set>
#include <stdexcept>

namespace {

using Reader = std::unique_ptr<struct archive, decltype(&archive_read_free)>;
using Writer = std::unique_ptr<struct archive, decltype(&archive_write_free)>;

}  // namespace

void WritePatch(const std::filesystem::path& build, const std::vector<IndexFile>& files,
                const std::filesystem::path& patch) {
    std::set<std::string> wanted;
    for (const IndexFile& file : files) wanted.insert(file.path);
    Reader reader(archive_read_new(), &archive_read_free);
    archive_read_support_format_zip(reader.get());
    if (archive_read_open_filename(reader.get(), build.c_str(), 1 << 16) != ARCHIVE_OK) {
        throw std::runtime_error("The archive cannot be read as a zip file");
    }
    Writer writer(archive_write_new(), &archive_write_free);
    if (archive_write_set_format_zip(writer.get()) != ARCHIVE_OK ||
        archive_write_set_options(writer.get(), "zip:hdrcharset=UTF-8") != ARCHIVE_OK ||
        archive_write_open_filename(writer.get(), patch.c_str()) != ARCHIVE_OK) {
        throw std::runtime_error("Cannot write " + patch.string());
    }
    const auto failed = [&patch](struct archive* a) {
        const char* why = archive_error_string(a);
        return std::runtime_error("Cannot write the patch " + patch.string() +
                                  (why != nullptr ? std::string(" (") + why + ")" : ""));
    };
    std::vector<char> buffer(1 << 20);
    struct archive_entry* entry = nullptr;
    int status;
    while ((status = archive_read_next_header(reader.get(), &entry)) == ARCHIVE_OK ||
           status == ARCHIVE_WARN) {
        const char* name = archive_entry_pathname(entry);
        if (name == nullptr || archive_entry_filetype(entry) != AE_IFREG ||
            wanted.erase(name) == 0) {
            continue;
        }
        if (archive_write_header(writer.get(), entry) != ARCHIVE_OK) throw failed(writer.get());
        for (;;) {
            const la_ssize_t got = archive_read_data(reader.get(), buffer.data(), buffer.size());
            if (got < 0) throw failed(reader.get());
            if (got == 0) break;
            if (archive_write_data(writer.get(), buffer.data(), static_cast<size_t>(got)) != got) {
                throw failed(writer.get());
            }
        }
    }
    if (status != ARCHIVE_EOF || !wanted.empty()) throw failed(reader.get());
    if (archive_write_close(writer.get()) != ARCHIVE_OK) throw failed(writer.get());
}
