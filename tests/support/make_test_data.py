#!/usr/bin/env python3
"""Makes the files the tests read: archives (good and hostile), digest inputs,
and a SHA256SUMS file computed here, independently of the launcher's code.

Usage: make_test_data.py <out folder> <game stand-in exe> [NAME=FILE ...]

Each NAME=FILE is copied in as NAME (the built launchers, for example), so its
digest is listed too.
"""
import hashlib
import os
import subprocess
import sys
import zipfile


def write_zip(path, entries):
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in entries:
            info = zipfile.ZipInfo(name)  # names are written exactly as given
            info.external_attr = (0o40755 << 16) | 0x10 if name.endswith("/") else 0o644 << 16
            z.writestr(info, data)


def main(out, game_exe, extra):
    os.makedirs(out, exist_ok=True)
    for item in extra:
        name, path = item.split("=", 1)
        with open(path, "rb") as src, open(os.path.join(out, name), "wb") as dst:
            dst.write(src.read())
    with open(game_exe, "rb") as f:
        game = f.read()
    asset = b"bird model bytes\n" * 64
    with open(os.path.join(out, "game_standin.exe"), "wb") as f:
        f.write(game)

    # A good build made by bsdtar itself, the program behind tar.exe.
    tree = os.path.join(out, "good-tree")
    os.makedirs(os.path.join(tree, "assets", "models"), exist_ok=True)
    with open(os.path.join(tree, "tessik.exe"), "wb") as f:
        f.write(game)
    with open(os.path.join(tree, "assets", "models", "bird.glb"), "wb") as f:
        f.write(asset)
    subprocess.run(["bsdtar", "--format", "zip", "-cf", os.path.join(out, "good.zip"),
                    "-C", tree, "tessik.exe", "assets"], check=True)

    hostile = {
        "parent.zip": [("tessik.exe", game), ("../escaped.txt", b"x")],
        "nested-parent.zip": [("tessik.exe", game), ("assets/../../escaped.txt", b"x")],
        "absolute.zip": [("tessik.exe", game), ("/tmp/escaped.txt", b"x")],
        "drive.zip": [("tessik.exe", game), ("C:\\escaped.txt", b"x")],
        "backslash-parent.zip": [("tessik.exe", game), ("assets\\..\\..\\escaped.txt", b"x")],
        "dot.zip": [("./tessik.exe", game), ("./assets/a.txt", b"x")],
        "nested-exe.zip": [("game/tessik.exe", game), ("game/assets/a.txt", b"x")],
        "capital-exe.zip": [("TESSIK.EXE", game)],
        "backslash-exe.zip": [("bin\\tessik.exe", game)],
        "text-exe.zip": [("tessik.exe", b"not a program")],
    }
    for name, entries in hostile.items():
        write_zip(os.path.join(out, name), entries)

    with open(os.path.join(out, "good.zip"), "rb") as f:
        good = f.read()
    with open(os.path.join(out, "damaged.zip"), "wb") as f:
        f.write(b"PK\x03\x04" + bytes(range(256)) * 4)
    with open(os.path.join(out, "truncated.zip"), "wb") as f:
        f.write(good[: len(good) // 2])

    pattern = bytes((i * 7 + 3) % 256 for i in range(1 << 16))
    inputs = {
        "empty.bin": b"",
        "abc.bin": b"abc",
        "1MiB.bin": (pattern * 16)[: 1 << 20],
        "1MiB+1.bin": (pattern * 17)[: (1 << 20) + 1],
        "3MiB+5.bin": (pattern * 49)[: 3 * (1 << 20) + 5],
    }
    for name, data in inputs.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)

    with open(os.path.join(out, "SHA256SUMS"), "w") as sums:
        for name in sorted(os.listdir(out)):
            path = os.path.join(out, name)
            if os.path.isfile(path) and name != "SHA256SUMS":
                with open(path, "rb") as f:
                    sums.write(f"{hashlib.sha256(f.read()).hexdigest()}  {name}\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2], sys.argv[3:]))
