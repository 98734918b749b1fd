#!/usr/bin/env python3
"""The release tool's bench row: a game build published with 3 patches from
earlier builds against the same publish with --patches 0, each into the same
release folder (hard-linked copies), at two sizes. One CSV line per publish:
publish,<patches3|patches0>,seconds,bytes written (wchar),bytes kept,peak RSS
bytes,build MiB,bytes of the largest block table a patch needs

With --packed MIB SHARED, a packed game of MIB (four packs of random bytes and
2,000 small files) whose every build overwrites 1 MiB in one pack, inserts
512 KiB near the start of another, appends 1 MiB to a third, changes 20 small
files, adds 2 and removes 1: the last build published with 3 patches against
--patches 0. One CSV line per publish:
publishpacked,<patches3|patches0>,seconds,bytes written,bytes kept,peak RSS
bytes,build MiB,bytes of the patch from the build before,bytes changed
The two release folders stay in SHARED/patches3 and SHARED/patches0, each with
the manifests before and after the last publish as release/m-old.json and
release/m-new.json, for the launcher's side.

Usage: bench_publish.py <tessik-publish> <game_standin.exe> <work folder> <reps> <MiB>...
       [--packed MIB SHARED]
"""
import json
import os
import shutil
import subprocess
import sys
import time
import zipfile

tool, game, work, reps, sizes = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4]), sys.argv[5:]
packed = None
if "--packed" in sizes:
    at = sizes.index("--packed")
    packed, sizes = (int(sizes[at + 1]), sizes[at + 2]), sizes[:at]
CHUNK = 4 << 20


def make_builds(mib, folder):
    """Four builds of a game shaped like a studio's: four stored packs of
    random bytes holding half, 2,000 small files the rest; each build after
    the first changes 20 small files."""
    total = mib << 20
    files = 2000
    packs = [os.urandom(total // 8) for _ in range(4)]
    each = (total // 2) // files
    small = [os.urandom(each) for _ in range(files)]
    paths = []
    for n in range(4):
        for i in range(20 * n, 20 * n + 20):
            small[i] = os.urandom(each)
        path = os.path.join(folder, f"build-{n}.zip")
        with zipfile.ZipFile(path, "w", zipfile.ZIP_STORED) as z:
            z.write(game, "tessik.exe")
            for i, pack in enumerate(packs):
                z.writestr(f"packs/pack{i}.bin", pack)
            for i, data in enumerate(small):
                z.writestr(f"assets/{i // 500}/file{i}.dat", data, zipfile.ZIP_DEFLATED)
        paths.append(path)
    return paths


def block_table_bytes(archive):
    """The memory the tool's block table takes for this earlier build, by the
    rule in publish/block_table.cpp (DeltaBlockSize, DeltaTableBytes): the
    one part of its memory that may grow with the build."""
    with zipfile.ZipFile(archive) as z:
        sizes = [i.file_size for i in z.infolist() if not i.is_dir()]
    block = 1024
    while sum(sizes) // block > 1 << 23:
        block *= 2
    blocks = sum(size // block for size in sizes)
    power = lambda value: 1 << max(0, (value - 1).bit_length())
    return max(1024, power(2 * blocks)) * 8 + max(4096, power(8 * blocks)) // 8


def write_random(path, size):
    with open(path, "wb") as f:
        for at in range(0, size, CHUNK):
            f.write(os.urandom(min(CHUNK, size - at)))


def rewrite(path, change):
    """A new file in place of a hard link: the old bytes through `change`
    (offset, bytes) -> bytes, chunk by chunk."""
    new = path + ".new"
    with open(path, "rb") as old, open(new, "wb") as f:
        at = 0
        while chunk := old.read(CHUNK):
            f.write(change(at, chunk))
            at += len(chunk)
        f.write(change(at, b""))
    os.replace(new, path)


def make_packed_builds(mib, folder):
    """Four builds of the packed game (zips with stored packs and deflated
    small files), each changed from the one before; returns the zips and the
    bytes each change writes."""
    total = mib << 20
    pack = total * 15 // 16 // 4
    each = total // 16 // 2000
    tree = os.path.join(folder, "tree")
    os.makedirs(os.path.join(tree, "packs"))
    for i in range(4):
        write_random(os.path.join(tree, "packs", f"pack{i}.pak"), pack)
    small = [f"assets/{i // 500}/file{i}.dat" for i in range(2000)]
    for name in small:
        os.makedirs(os.path.dirname(os.path.join(tree, name)), exist_ok=True)
        write_random(os.path.join(tree, name), each)
    zips, changed = [], 0
    for n in range(4):
        if n:
            mid, over, insert = pack // 2, os.urandom(1 << 20), os.urandom(512 << 10)
            packs = [os.path.join(tree, "packs", f"pack{(n + k) % 4}.pak") for k in range(3)]
            rewrite(packs[0], lambda at, c: c[:max(0, mid - at)] + over[max(0, at - mid):
                    max(0, at + len(c) - mid)] + c[max(0, mid + len(over) - at):]
                    if at < mid + len(over) and at + len(c) > mid else c)
            rewrite(packs[1], lambda at, c: c[:4096] + insert + c[4096:] if at == 0 else c)
            rewrite(packs[2], lambda at, c: c if c else os.urandom(1 << 20))
            for name in small[20 * n:20 * n + 20]:
                write_random(os.path.join(tree, name), each)
            os.remove(os.path.join(tree, small.pop()))
            for k in range(2):
                small.append(f"assets/new/b{n}-{k}.dat")
                os.makedirs(os.path.join(tree, "assets", "new"), exist_ok=True)
                write_random(os.path.join(tree, small[-1]), each)
            changed = (1 << 20) + (512 << 10) + (1 << 20) + 22 * each
        path = os.path.join(folder, f"packed-{n}.zip")
        with zipfile.ZipFile(path, "w", zipfile.ZIP_STORED) as z:
            z.write(game, "tessik.exe")
            for i in range(4):
                z.write(os.path.join(tree, "packs", f"pack{i}.pak"), f"packs/pack{i}.pak")
            for name in small:
                z.write(os.path.join(tree, name), name, zipfile.ZIP_DEFLATED)
        zips.append(path)
    shutil.rmtree(tree)
    return zips, changed


def folder_bytes(folder):
    return sum(os.path.getsize(os.path.join(d, f)) for d, _, fs in os.walk(folder) for f in fs)


# A process's peak counts the memory of the one it was forked from, so each
# publish is started by a small fresh Python, not by this one. It reads wchar
# before it reaps the child.
MEASURE = """import os, sys, time
start = time.monotonic()
child = os.fork()
if child == 0:
    os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
    os.execv(sys.argv[1], sys.argv[1:])
os.waitid(os.P_PID, child, os.WEXITED | os.WNOWAIT)
seconds = time.monotonic() - start
wchar = [l.split()[1] for l in open(f"/proc/{child}/io") if l.startswith("wchar:")][0]
_, status, usage = os.wait4(child, 0)
print(os.waitstatus_to_exitcode(status), seconds, wchar, usage.ru_maxrss * 1024)
"""


def measured(args):
    """Seconds, bytes the publish wrote (wchar) and its peak resident bytes."""
    result = subprocess.run([sys.executable, "-I", "-S", "-c", MEASURE, *args],
                            capture_output=True, text=True)
    status, seconds, wchar, peak = result.stdout.split()
    if status != "0":
        sys.exit("bench: the publish failed: " + result.stderr)
    return float(seconds), int(wchar), int(peak)


def publish(archive, version, out, *extra):
    return [tool, "game", archive, "--version", version, "--base-url", "https://bench.example",
            "--out", out, *extra]


for mib in map(int, sizes):
    base = os.path.join(work, f"publish-{mib}")
    shutil.rmtree(base, ignore_errors=True)
    os.makedirs(base)
    builds = make_builds(mib, base)
    release = os.path.join(base, "release")
    table = max(map(block_table_bytes, builds[:3]))
    for n, archive in enumerate(builds[:3]):
        subprocess.run(publish(archive, f"1.{n}", release, "--patches", "0"), check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    # Interleaved, so both subjects see the same load on the machine.
    for _ in range(reps):
        for subject, extra in (("patches3", []), ("patches0", ["--patches", "0"])):
            copy = os.path.join(base, "copy")
            subprocess.run(["cp", "-al", release, copy], check=True)
            before = folder_bytes(copy)
            seconds, wchar, peak = measured(publish(builds[3], "1.3", copy, *extra))
            kept = folder_bytes(copy) - before
            print(f"publish,{subject},{seconds:.6f},{wchar},{kept},{peak},{mib},{table}",
                  flush=True)
            shutil.rmtree(copy)
    shutil.rmtree(base)

if packed:
    mib, shared = packed
    base = os.path.join(work, f"packed-{mib}")
    shutil.rmtree(base, ignore_errors=True)
    os.makedirs(base)
    builds, changed = make_packed_builds(mib, base)
    release = os.path.join(base, "release")
    for n, archive in enumerate(builds[:3]):
        subprocess.run(publish(archive, f"1.{n}", release), check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
    live = os.path.join("release", "windows-x86_64-manifest.json")
    for rep in range(reps):
        for subject, extra in (("patches3", []), ("patches0", ["--patches", "0"])):
            copy = os.path.join(base, "copy")
            subprocess.run(["cp", "-al", release, copy], check=True)
            before = folder_bytes(copy)
            seconds, wchar, peak = measured(publish(builds[3], "1.3", copy, *extra))
            kept = folder_bytes(copy) - before
            index = json.load(open(os.path.join(copy, live)))["build_index"]
            patch = [line.split()[1] for line in open(os.path.join(copy, "builds", index + ".index"))
                     if line.split()[0] in ("patch", "delta") and line.split()[2] == "1.2"]
            patch_bytes = os.path.getsize(os.path.join(copy, "builds", patch[0] + ".patch.zip")) \
                if patch else 0
            print(f"publishpacked,{subject},{seconds:.6f},{wchar},{kept},{peak},{mib},{patch_bytes},"
                  f"{changed}", flush=True)
            if rep == reps - 1:
                # For the launcher's side: the release before and after this publish.
                target = os.path.join(shared, subject)
                shutil.rmtree(target, ignore_errors=True)
                shutil.copytree(copy, target, ignore=shutil.ignore_patterns(".lock", ".incoming"))
                shutil.copy(os.path.join(release, live), os.path.join(target, "release", "m-old.json"))
                shutil.copy(os.path.join(copy, live), os.path.join(target, "release", "m-new.json"))
            shutil.rmtree(copy)
    shutil.rmtree(base)
