#!/usr/bin/env bash
# Fails when a product file includes a folder above its own. The layers, lowest
# first: format, base, service, store, launch, selfupdate, app. A folder may
# include its own and the ones below it; format includes nothing of ours but
# itself, and no platform header. The release tool (publish) runs on Linux and
# may use format, base and store.
set -euo pipefail
cd "$(dirname "$0")/.."

layers=(format base service store launch selfupdate app)
rank() {
  local i
  for i in "${!layers[@]}"; do
    [ "${layers[$i]}" = "$1" ] && { echo "$i"; return; }
  done
  echo -1
}

bad=0
check_file() { # file own-folder
  local file=$1 own=$2 line target
  while IFS= read -r line; do
    target=${line#*\"}
    target=${target%%\"*}
    # A name without a folder is a generated header of the build folder.
    [[ "$target" == */* ]] || continue
    target=${target%%/*}
    local r
    r=$(rank "$target")
    if [ "$own" = publish ]; then
      case "$target" in format|base|store|publish) continue ;; esac
    elif [ "$r" -ge 0 ] && [ "$r" -le "$(rank "$own")" ]; then
      continue
    fi
    echo "layer check: $file includes $target/ (above $own/)" >&2
    bad=1
  done < <(grep -E '^#include "' "$file" || true)
}

while IFS= read -r file; do
  check_file "$file" "${file%%/*}"
done < <(git ls-files -co --exclude-standard -- 'format/*' 'base/*' 'service/*' 'store/*' \
           'launch/*' 'selfupdate/*' 'app/*' 'publish/*' | grep -E '\.(h|cpp|c)$')

# The formats are the same code in both programs: no platform call.
while IFS= read -r file; do
  if grep -nE '^#include <(windows|winhttp|bcrypt|unistd|fcntl|sys/[a-z]+|archive|openssl/[a-z]+)\.h>' \
      "$file" >&2; then
    echo "layer check: $file includes a platform header (format/ is plain C++)" >&2
    bad=1
  fi
done < <(git ls-files -co --exclude-standard -- 'format/*' | grep -E '\.(h|cpp)$')

# Every path under the storage root goes through the long-path file layer in
# base/ (long_path_files, folder_walk): neither std::filesystem's operations
# nor file streams reach past 260 characters on Windows. Path arithmetic on
# std::filesystem::path stays allowed. A *_linux.cpp file belongs to the
# release tool only.
fs_operations='(std::filesystem|fs)::(exists|is_regular_file|is_directory|is_symlink|is_empty|'
fs_operations+='create_director(y|ies)|create_(hard_|directory_)?symlink|create_hard_link|remove|'
fs_operations+='remove_all|rename|copy|copy_file|copy_symlink|file_size|last_write_time|'
fs_operations+='(recursive_)?directory_iterator|temp_directory_path|current_path|status|'
fs_operations+='symlink_status|resize_file|space|canonical|weakly_canonical|absolute|equivalent|'
fs_operations+='hard_link_count|read_symlink|permissions)\b'
while IFS= read -r file; do
  case "$file" in *_linux.cpp) continue ;; esac
  if grep -nE "$fs_operations" "$file" >&2; then
    echo "layer check: $file uses a std::filesystem operation (use base/long_path_files.h)" >&2
    bad=1
  fi
  if grep -nE '\b(std::)?(i|o)?fstream\b|#include <fstream>' "$file" >&2; then
    echo "layer check: $file uses a file stream (use base/long_path_files.h)" >&2
    bad=1
  fi
done < <(git ls-files -co --exclude-standard -- 'format/*' 'base/*' 'service/*' 'store/*' \
           'launch/*' 'selfupdate/*' 'app/*' | grep -E '\.(h|cpp|c)$')

exit $bad
