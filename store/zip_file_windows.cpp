#include "base/long_path_files.h"
#include "store/held_file_bytes.h"
#include "format/zip_directory.h"

std::vector<ZipEntry> ReadZipDirectory(const std::filesystem::path& zip) {
    const KernelHandle file = OpenLongPathFile(zip, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    return ReadHeldZipDirectory(file.get());
}
