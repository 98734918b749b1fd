# The formats both programs read and write (format/): plain C++, built into
# the launcher, the release tool, the manifest signer and the native tests.
set(TESSIK_FORMAT_SOURCES
  format/json.cpp
  format/manifest_object.cpp
  format/manifest_signing_text.cpp
  format/utf8.cpp
  format/hex.cpp
  format/archive_names.cpp
  format/crc32.cpp
  format/zip_directory.cpp
  format/windows_names.cpp
  format/short_names.cpp
  format/build_index.cpp
  format/delta_ops.cpp
  format/delta_apply.cpp)
# Prefixed with the source folder for a build that is not at its root.
function(tessik_format_sources root out)
  set(list "")
  foreach(source ${TESSIK_FORMAT_SOURCES})
    list(APPEND list ${root}/${source})
  endforeach()
  set(${out} ${list} PARENT_SCOPE)
endfunction()
