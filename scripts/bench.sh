#!/usr/bin/env bash
# make bench / make bench-quick: the launcher's operations measured beside the
# tools a player's machine could use instead, on the test bed's HTTPS service.
# Writes build/bench/results.md and results.csv and prints the table.
set -Eeuo pipefail
# A failing bench program's own words (its output goes into the CSV) are shown.
trap 'echo "bench: failed at line $LINENO: $BASH_COMMAND" >&2
      [ -n "${csv:-}" ] && grep -av "^[a-z0-9-]*,[a-z0-9-]*,[0-9.][0-9.]*" "$csv" | tail -n 20 >&2' ERR
mode=${1:-quick}
# The launcher is a window program: it needs a display (and Wine must see it
# before its first process).
if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -e /dev/stderr -s "-screen 0 1280x1024x24" bash "$0" "$@"
fi
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath "${2:-$top/build}")  # the build folder: `make bench` uses build/
bed="$build/testbed"
out="$build/bench"
run="$build/tests/support/wine-run.sh"
bench="$out/launcher_bench.exe"
win() { printf 'Z:%s' "${1//\//\\}"; }

if [ "$mode" = full ]; then
  download_mib=512; digest_mib=1024; reps=5
  install_cases="1024:2000"; scaling="64:2000 256:2000 1024:2000 256:200 256:20000"
  patch_case="1024:2000:40"
  packed_case="256:2000"
  publish_sizes="256 1024"; packed_mib=1024
  storage_mib=64; old_build="1024:2000"
else
  download_mib=32; digest_mib=64; reps=3
  install_cases="32:200"; scaling="16:200 32:200 32:50 32:800"
  patch_case="32:200:4"
  packed_case="8:200"
  publish_sizes="8 32"; packed_mib=32
  storage_mib=4; old_build="32:200"
fi

"$build/tests/support/testbed.sh" setup >/dev/null
"$build/tests/support/testbed.sh" start-service >/dev/null
trap '"$build/tests/support/testbed.sh" stop-service; "$build/tests/support/testbed.sh" teardown' EXIT
port=$(cut -d' ' -f1 "$bed/ports")
base="https://localhost:$port/files/bench"
ca="$bed/certs/ca.pem"
data="$bed/www/bench"
work="$bed/scratch/bench"
mkdir -p "$data" "$work"
csv="$out/raw.csv"
: >"$csv"

now() { date +%s.%N; }
timed() { # row subject command...: one CSV line with the seconds it took
  local row=$1 subject=$2; shift 2
  local start; start=$(now)
  "$@" >/dev/null
  echo "$row,$subject,$(echo "$(now) - $start" | bc)" >>"$csv"
}

echo "making the bench data ($mode)..."
echo '{"warm":true}' >"$data/warm.json"
export TESSIK_BENCH_WARMUP="$base/warm.json"
head -c $((download_mib << 20)) /dev/urandom >"$data/body.bin"
head -c $((digest_mib << 20)) /dev/urandom >"$work/digest.bin"
make_build() { # MiB files name
  /usr/bin/python3 - "$1" "$2" "$3" "$build/tests/support/game_standin.exe" <<'PY'
import os, sys, zipfile
mib, files, path, game = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], sys.argv[4]
total = mib << 20
packs = 4  # a few large packs hold half; many small files share the rest
small = max(files - packs - 1, 1)
with zipfile.ZipFile(path, "w", zipfile.ZIP_STORED) as z:
    z.write(game, "tessik.exe")
    for i in range(packs):
        z.writestr(f"packs/pack{i}.bin", os.urandom(total // 2 // packs))
    each = (total // 2) // small
    for i in range(small):
        z.writestr(f"assets/{i // 500}/file{i}.dat", os.urandom(each))
PY
}

echo "1. download"
"$run" "$bench" download "$base/body.bin" "$(win "$work/download.bin")" "$reps" | tr -d '\r' >>"$csv"
for _ in $(seq "$reps"); do
  timed download curl curl -s --cacert "$ca" -o "$work/curl.bin" "$base/body.bin"
done

echo "2. digest"
cat "$work/digest.bin" >/dev/null  # in the page cache for every subject
"$run" "$bench" digest "$(win "$work/digest.bin")" "$reps" | tr -d '\r' >>"$csv"
for _ in $(seq "$reps"); do timed digest sha256sum sha256sum "$work/digest.bin"; done

stage() { # name command...: one tools stage, timed on its own
  local name=$1; shift
  local start; start=$(now)
  "$@" >/dev/null
  local took; took=$(echo "$(now) - $start" | bc)
  total=$(echo "$total + $took" | bc)
  [ "$row" = install ] && echo "stage,tools-$name,$took" >>"$csv"
  return 0
}

install_row() { # row MiB files: the stages split out only for the install row
  local row=$1 mib=$2 files=$3 zip="$data/build-$2-$3.zip"
  make_build "$mib" "$files" "$zip"
  local sha; sha=$(sha256sum "$zip" | cut -d' ' -f1)
  local stages=""; [ "$row" = install ] && stages=stages
  "$run" "$bench" install "$base/$(basename "$zip")" "$sha" "$(win "$work/root-$mib-$files")" "$reps" $stages \
    | tr -d '\r' | sed "s/^install,\(.*\)$/$row,\1,$((mib << 20)),$files/" >>"$csv"
  local stage_dir="$work/tools/stage"
  for _ in $(seq "$reps"); do
    rm -rf "$work/tools" && mkdir -p "$stage_dir"
    total=0
    stage download curl -s --cacert "$ca" -o "$stage_dir/runtime.zip" "$base/$(basename "$zip")"
    stage digest sha256sum "$stage_dir/runtime.zip"
    stage list bsdtar -tf "$stage_dir/runtime.zip"
    mkdir -p "$stage_dir/runtime"
    stage extract bsdtar -xf "$stage_dir/runtime.zip" -C "$stage_dir/runtime"
    stage rename mv "$stage_dir/runtime" "$work/tools/build"
    echo "$row,tools,$total,0,$((mib << 20)),$files" >>"$csv"
  done
}

echo "3./4. installation and memory"
for c in $install_cases; do install_row install "${c%%:*}" "${c##*:}"; done

echo "5. start to play"
appdata="$work/appdata"
rm -rf "$appdata" && mkdir -p "$appdata"
make_build 1 10 "$data/play.zip"
/usr/bin/python3 - "$data/play.zip" "https://localhost:$port/files/bench/play.zip" "$data/play.json" <<'PY'
import hashlib, json, sys, time
digest = hashlib.sha256(open(sys.argv[1], "rb").read()).hexdigest()
# A sequence, as the release tool writes into every manifest it signs: the
# keyed launcher then reads (and once writes) its remembered sequences.
json.dump({"version": "1.0.0", "url": sys.argv[2], "sha256": digest, "executable": "tessik.exe",
           "sequence": str(int(time.time()))}, open(sys.argv[3], "w"))
PY
/usr/bin/python3 -c 'import json,sys; json.dump({"version":"0.1.190","url":"https://localhost/x.exe","sha256":"0"*64,"executable":"TESSIK-Launcher-Windows-x64.exe"}, open(sys.argv[1],"w"))' "$data/launcher.json"
# Signed, so a launcher built with the test release key reads them as the
# default one does; the default launcher ignores the signature.
keyed="$build/launcher-signed/TESSIK-Launcher-Windows-x64.exe"
for m in play launcher; do
  "$build/tests/support/sign_manifest" sign "$build/tests/support/keys/release.key" "$data/$m.json" "$data/$m.json"
done
export TESSIK_UPDATE_MANIFEST="$base/play.json" TESSIK_LAUNCHER_UPDATE_MANIFEST="$base/launcher.json"
export TESSIK_GAME_RECORD="$(win "$work/record.txt")"
export TESSIK_BENCH_BUILD="$(win "$appdata/Tessik/launcher/versions/1.0.0")"
export TESSIK_BENCH_APPDATA="$(win "$appdata")"
"$run" "$bench" start "$(win "$build/TESSIK-Launcher-Windows-x64.exe")" "$(win "$out/bench_start_game.exe")" \
  "$(win "$work/record.txt")" $((reps + 1)) "$(win "$keyed")" | tr -d '\r' | tail -n +4 >>"$csv"

echo "7. removing a tree"
"$run" "$bench" remove "$(win "$work/remove-tree")" 20000 "$reps" | tr -d '\r' >>"$csv"

echo "8. update by patch"
# Two builds of equal, incompressible files; the next rewrites some, adds one
# and drops one. Both published by the release tool, so the next carries an
# index and the patch from the first.
IFS=: read -r patch_mib patch_files patch_changed <<<"$patch_case"
patch_tree="$data/patch"
rm -rf "$patch_tree" "$work/patch-update" "$work/patch-full"
/usr/bin/python3 - "$patch_mib" "$patch_files" "$patch_changed" "$work" "$build/tests/support/game_standin.exe" <<'PY'
import os, sys, zipfile
mib, files, changed, work, game = (int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3]), sys.argv[4],
                                   sys.argv[5])
each = (mib << 20) // files
names = [f"assets/{i // 100}/file{i}.dat" for i in range(files)]
with zipfile.ZipFile(f"{work}/patch-1.zip", "w", zipfile.ZIP_STORED) as first, \
        zipfile.ZipFile(f"{work}/patch-2.zip", "w", zipfile.ZIP_STORED) as second:
    for z in (first, second):
        z.write(game, "tessik.exe")
    for i, name in enumerate(names):
        data = os.urandom(each)
        if i != files - 1:
            first.writestr(name, data)  # the last is the one added
        if i != 0:
            second.writestr(name, os.urandom(each) if i <= changed else data)  # the first is dropped
PY
for n in 1 2; do
  "$build/publish/tessik-publish" game "$work/patch-$n.zip" --version "1.$n" --base-url "$base/patch" \
    --out "$patch_tree" >/dev/null
  cp "$patch_tree/release/windows-x86_64-manifest.json" "$patch_tree/release/m$n.json"
done
rm -f "$work/patch-1.zip" "$work/patch-2.zip"
"$run" "$bench" patch "$base/patch/release/m1.json" "$(win "$work/patch-update")" setup
full_name=$(basename "$(ls "$patch_tree"/builds/tessik-1.2-*.zip)")
full_before=$(grep -c "$full_name" "$bed/requests.log" || true)
for _ in $(seq "$reps"); do
  "$run" "$bench" patch "$base/patch/release/m2.json" "$(win "$work/patch-update")" update | tr -d '\r' >>"$csv"
  "$run" "$bench" patch "$base/patch/release/m2.json" "$(win "$work/patch-full")" full | tr -d '\r' >>"$csv"
done
# What an update downloads: the index and the patch (the request log shows
# the full archive fetched only by the full installs).
full_fetches=$(( $(grep -c "$full_name" "$bed/requests.log" || true) - full_before ))
index=$(/usr/bin/python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["build_index"])' \
  "$patch_tree/release/m2.json")
patch=$(awk '$1 == "patch" {print $2}' "$patch_tree/builds/$index.index")
patch_bytes=$(( $(stat -c %s "$patch_tree/builds/$index.index") + $(stat -c %s "$patch_tree/builds/$patch.patch.zip") ))
echo "patchbytes,update,$patch_bytes,$(stat -c %s "$patch_tree/builds/$full_name"),$full_fetches,$reps" >>"$csv"

echo "8b. update of a packed game"
# Four packed files of random bytes (PACK MiB each) and small files; the next
# build overwrites 1 MiB inside one pack, inserts 512 KiB near the start of
# another, appends 1 MiB to a third, changes 20 small files, adds 2 and removes
# 1. The anchor is what the distribution's delta tools make of the same change.
IFS=: read -r pack_mib small_files <<<"$packed_case"
packed_tree="$data/packed-game"
rm -rf "$packed_tree" "$work/packed-update" "$work/packed-full" "$work/packed-anchor"
mkdir -p "$work/packed-anchor"
changed_bytes=$(/usr/bin/python3 - "$pack_mib" "$small_files" "$work" "$build/tests/support/game_standin.exe" <<'PY'
import os, sys, zipfile
mib, files, work, game = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], sys.argv[4]
anchor = f"{work}/packed-anchor"
packs = [os.urandom(mib << 20) for _ in range(4)]
small = {f"data/{i // 100}/small{i}.txt": os.urandom(2048 + i % 4096) for i in range(files)}
new_packs = list(packs)
new_packs[0] = packs[0][:len(packs[0]) // 2] + os.urandom(1 << 20) + packs[0][len(packs[0]) // 2 + (1 << 20):]
new_packs[1] = packs[1][:4096] + os.urandom(512 << 10) + packs[1][4096:]
new_packs[2] = packs[2] + os.urandom(1 << 20)
new_small = dict(small)
names = sorted(small)
for name in names[:20]:
    new_small[name] = os.urandom(len(small[name]))
del new_small[names[-1]]
new_small["data/added/one.txt"], new_small["data/added/two.txt"] = os.urandom(3000), os.urandom(3000)
changed = (1 << 20) + (512 << 10) + (1 << 20)
for n, (p, s) in enumerate(((packs, small), (new_packs, new_small)), 1):
    with zipfile.ZipFile(f"{work}/packed-{n}.zip", "w", zipfile.ZIP_STORED) as z:
        z.write(game, "tessik.exe")
        for i, data in enumerate(p):
            z.writestr(f"packs/pack{i}.pak", data)
        for name, data in sorted(s.items()):
            z.writestr(name, data)
for i in range(3):
    for tag, data in (("old", packs[i]), ("new", new_packs[i])):
        with open(f"{anchor}/pack{i}.{tag}", "wb") as f:
            f.write(data)
for k, name in enumerate(n for n in sorted(new_small) if small.get(n) != new_small[n]):
    changed += len(new_small[name])
    with open(f"{anchor}/small{k}.new", "wb") as f:
        f.write(new_small[name])
print(changed)
PY
)
anchor_bytes=0
for i in 0 1 2; do
  old="$work/packed-anchor/pack$i.old"
  xdelta3 -9 -e -f -B "$(stat -c %s "$old")" -s "$old" "$work/packed-anchor/pack$i.new" "$work/packed-anchor/pack$i.vcdiff"
  anchor_bytes=$(( anchor_bytes + $(stat -c %s "$work/packed-anchor/pack$i.vcdiff") ))
done
for small in "$work"/packed-anchor/small*.new; do
  anchor_bytes=$(( anchor_bytes + $(zstd -19 -q -c "$small" | wc -c) ))
done
rm -rf "$work/packed-anchor"
for n in 1 2; do
  "$build/publish/tessik-publish" game "$work/packed-$n.zip" --version "1.$n" --base-url "$base/packed-game" \
    --out "$packed_tree" >/dev/null
  cp "$packed_tree/release/windows-x86_64-manifest.json" "$packed_tree/release/m$n.json"
done
rm -f "$work/packed-1.zip" "$work/packed-2.zip"
"$run" "$bench" patch "$base/packed-game/release/m1.json" "$(win "$work/packed-update")" setup packed
for _ in $(seq "$reps"); do
  "$run" "$bench" patch "$base/packed-game/release/m2.json" "$(win "$work/packed-update")" update packed | tr -d '\r' >>"$csv"
  "$run" "$bench" patch "$base/packed-game/release/m2.json" "$(win "$work/packed-full")" full packed | tr -d '\r' >>"$csv"
done
# The launcher takes the delta from the recorded build where the index lists
# one, else the whole-file patch, else the full archive (the tool skips a
# patch that would pass its share of the full archive).
index=$(/usr/bin/python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["build_index"])' \
  "$packed_tree/release/m2.json")
taken=$(awk '$1 == "delta" && $3 == "1.1" {print $2}' "$packed_tree/builds/$index.index")
[ -n "$taken" ] || taken=$(awk '$1 == "patch" && $3 == "1.1" {print $2}' "$packed_tree/builds/$index.index")
packed_full=$(basename "$(ls "$packed_tree"/builds/tessik-1.2-*.zip)")
taken_file="$packed_tree/builds/$taken.patch.zip"
[ -n "$taken" ] || taken_file="$packed_tree/builds/$packed_full"
packed_bytes=$(( $(stat -c %s "$packed_tree/builds/$index.index") + $(stat -c %s "$taken_file") ))
echo "packedbytes,update,$packed_bytes,$anchor_bytes,$changed_bytes,$(stat -c %s "$packed_tree/builds/$packed_full")" >>"$csv"
rm -rf "$work/packed-update" "$work/packed-full"

echo "9. the player's disk"
# The same update by patch with an older build beside the two: with two
# builds kept it is moved out of "versions" before the game would start and
# its bytes freed after.
IFS=: read -r old_mib old_files <<<"$old_build"
for i in $(seq "$reps"); do
  for keep in $([ $((i % 2)) = 1 ] && echo "off on" || echo "on off"); do
    "$run" "$bench" keep "$base/patch/release/m2.json" "$(win "$work/patch-update")" \
      "$old_mib" "$old_files" "$keep" | tr -d '\r' >>"$csv"
  done
done
make_build "$storage_mib" 20 "$data/storage.zip"
storage_sha=$(sha256sum "$data/storage.zip" | cut -d' ' -f1)
for keep in 2 all; do
  "$run" "$bench" storage "$base/storage.zip" "$storage_sha" "$(win "$work/storage")" 10 "$keep" \
    | tr -d '\r' >>"$csv"
done
# The test bed's small disk (8 MiB, when the bed could mount it) and a build
# twice its size.
if mountpoint -q "$bed/smalldisk"; then
  head -c $((16 << 20)) /dev/urandom >"$data/toolarge.zip"
  "$run" "$bench" refuse "$base/toolarge.zip" "$(sha256sum "$data/toolarge.zip" | cut -d' ' -f1)" \
    'S:\bench-refuse' | tr -d '\r' >>"$csv"
  rm -f "$data/toolarge.zip"
fi
rm -rf "$work/patch-update" "$work/patch-full"

echo "6. scaling"
for c in $scaling; do install_row scaling "${c%%:*}" "${c##*:}"; done

echo "9. the release tool"
# Builds with patches against the same publish without, at two sizes; then
# the packed game, whose two release folders stay served under $data/packed
# for the launcher's side.
/usr/bin/python3 "$top/scripts/bench_publish.py" "$build/publish/tessik-publish" \
  "$build/tests/support/game_standin.exe" "$work" "$reps" $publish_sizes \
  --packed "$packed_mib" "$data/packed" >>"$csv"

/usr/bin/python3 "$top/scripts/bench_report.py" "$csv" "$out" "$mode"
