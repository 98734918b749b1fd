#!/usr/bin/env python3
"""The release tool's bench row: a game build published with 3 patches from
earlier builds against the same publish with --patches 0, each into the same
release folder (hard-linked copies), at two sizes. One CSV line per publish:
publish,<patches3|patches0>,seconds,bytes written (wchar),bytes kept,peak RSS
bytes,build MiB

Usage: bench_publish.py <tessik-publish> <game_standin.exe> <work folder> <reps> <MiB>...
"""
import os
import random
import shutil
import subprocess
import sys
import time
import zipfile

tool, game, work, reps, sizes = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4]), sys.argv[5:]


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


for mib in map(int, sizes):
    base = os.path.join(work, f"publish-{mib}")
    shutil.rmtree(base, ignore_errors=True)
    os.makedirs(base)
    builds = make_builds(mib, base)
    release = os.path.join(base, "release")
    publish = lambda archive, version, out, *extra: [
        tool, "game", archive, "--version", version, "--base-url", "https://bench.example",
        "--out", out, *extra]
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
            print(f"publish,{subject},{seconds:.6f},{wchar},{kept},{peak},{mib}", flush=True)
            shutil.rmtree(copy)
    shutil.rmtree(base)
