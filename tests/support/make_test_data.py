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


def write_lying_zip(path, game, local_name, central_name):
    """A zip whose local header names one path and whose central directory
    names another of the same length."""
    assert len(local_name) == len(central_name)
    write_zip(path, [("tessik.exe", game), (central_name, b"payload")])
    with open(path, "rb") as f:
        data = bytearray(f.read())
    encoded = central_name.encode()
    at = data.find(encoded)  # the first occurrence is the local header's
    data[at : at + len(encoded)] = local_name.encode()
    with open(path, "wb") as f:
        f.write(bytes(data))


def write_symlink_zip(path, game):
    """An archive with a symbolic link that points out of the build, and a
    file meant to be written through it."""
    with zipfile.ZipFile(path, "w") as z:
        z.writestr("tessik.exe", game)
        link = zipfile.ZipInfo("assets/link")
        link.create_system = 3
        link.external_attr = (0o120777 << 16)
        z.writestr(link, "../../../../../../outside-target")
        z.writestr("assets/link/evil.txt", b"through the link")


def link_entry(name):
    info = zipfile.ZipInfo(name)
    info.create_system = 3
    info.external_attr = (0o120777 << 16)
    return info


def write_link_zips(out, game):
    """Archives whose link points at a real folder outside the storage, which
    must keep its files whatever the launcher does with the link: a link to
    the folder, a link to one of its files, and a link followed by a damaged
    entry (its extraction would fail after making the link)."""
    outside = os.path.join(out, "outside")
    os.makedirs(os.path.join(outside, "deeper"), exist_ok=True)
    for name in ("keep.txt", os.path.join("deeper", "keep-too.txt")):
        with open(os.path.join(outside, name), "wb") as f:
            f.write(b"not the launcher's to delete\n")
    with zipfile.ZipFile(os.path.join(out, "link-outside.zip"), "w") as z:
        z.writestr("tessik.exe", game)
        z.writestr(link_entry("assets/outside"), outside)
    with zipfile.ZipFile(os.path.join(out, "file-link-outside.zip"), "w") as z:
        z.writestr("tessik.exe", game)
        z.writestr(link_entry("assets/keep.txt"), os.path.join(outside, "keep.txt"))
    damaged = os.path.join(out, "link-then-damaged.zip")
    payload = b"z" * 4096
    with zipfile.ZipFile(damaged, "w") as z:
        z.writestr("tessik.exe", game)
        z.writestr(link_entry("assets/outside"), outside)
        z.writestr("assets/z.bin", payload)
    data = bytearray(open(damaged, "rb").read())
    data[data.find(payload) + 100] ^= 0xFF  # the entry's CRC no longer matches
    with open(damaged, "wb") as f:
        f.write(data)


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
        "empty-exe.zip": [("tessik.exe", b"")],
        "rooted-backslash.zip": [("tessik.exe", game), ("\\escaped.txt", b"x")],
        "drive-relative.zip": [("tessik.exe", game), ("C:escaped.txt", b"x")],
        "crlf-names.zip": [("tessik.exe\r\n", game), ("assets/a.txt\r\n", b"x")],
        "folders.zip": [("assets/", b""), ("assets/models/", b""), ("tessik.exe", game),
                        ("assets/models/bird.glb", asset)],
        # Names Windows' tar.exe and NTFS store otherwise than published.
        "colon-beside-underscore.zip": [("tessik.exe", game), ("assets/ab:c.pak", b"colon"),
                                        ("assets/ab_c.pak", b"underscore")],
        "question-folder-exe.zip": [("tessik.exe", game), ("sub?/tessik.exe", b"other")],
        "case-twin-exe.zip": [("tessik.exe", game), ("TESSIK.EXE", b"another program")],
        "control-name.zip": [("tessik.exe", game), ("assets/a\x01b.pak", b"x")],
        # On a volume that makes 8.3 names the second opens the first.
        "short-name-alias.zip": [("tessik.exe", game), ("assets/textures-big.pak", b"textures"),
                                 ("assets/TEXTUR~1.PAK", b"replaced")],
        # Outside the ANSI code page: tar.exe's listing shows it with "?".
        "code-page-name.zip": [("tessik.exe", game), ("assets/\u0141\u00f3d\u017a.pak", b"x")],
    }
    for name, entries in hostile.items():
        write_zip(os.path.join(out, name), entries)

    write_lying_zip(os.path.join(out, "lying-central.zip"), game, "../evil.txt", "assets/e.tx")
    write_lying_zip(os.path.join(out, "lying-local.zip"), game, "assets/e.tx", "../evil.txt")
    write_symlink_zip(os.path.join(out, "symlink.zip"), game)
    write_link_zips(out, game)
    # A folder of 20,000 files beside folders z0..z7, which a test swaps for
    # links out of the storage while the folder is being removed.
    write_zip(os.path.join(out, "flat.zip"), [(f"big/f{i}", b"") for i in range(20000)] +
              [(f"big/z{i}/own.txt", b"x") for i in range(8)])
    with zipfile.ZipFile(os.path.join(out, "swap-links.zip"), "w") as z:
        for i in range(8):
            z.writestr(link_entry(f"big/z{i}"), os.path.join(out, "outside"))
    write_zip(os.path.join(out, "many.zip"),
              [("tessik.exe", game)] + [(f"assets/{i // 1000}/f{i}.txt", b"%d" % i)
                                        for i in range(19999)])
    write_zip(os.path.join(out, "big.zip"), [("tessik.exe", game),
                                             ("assets/pack.bin", os.urandom(12 << 20))])

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
