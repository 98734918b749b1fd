#!/usr/bin/env python3
"""Sets up what the release tool's tests under Wine read: archives beside the
hostile suite's, the tool's verdict on every archive of both folders, and two
releases the tool publishes onto the HTTPS test service (a version that needs
percent-encoding, and a signed launcher of the next version).

Usage: prepare_releases.py <tessik-publish> <test bed folder> <next launcher>
"""
import hashlib
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import warnings
import zipfile

TOOL, BED, NEXT_LAUNCHER = sys.argv[1:4]
DATA = os.path.join(BED, "data")
OUT = os.path.join(BED, "publish")
ARCHIVES = os.path.join(OUT, "archives")
ENCODED_VERSION = "1.0 #x%41"


def read(path):
    with open(path, "rb") as f:
        return f.read()


def write_zip(path, entries, method=zipfile.ZIP_DEFLATED):
    with zipfile.ZipFile(path, "w", method) as z:
        for name, data, mode in entries:
            info = zipfile.ZipInfo(name)
            info.create_system = 3
            info.external_attr = mode << 16
            z.writestr(info, data)


def make_archives(game):
    asset = b"bird model bytes\n" * 64
    entries = lambda *more: [("tessik.exe", game, 0o100644), *more]
    write_zip(os.path.join(ARCHIVES, "non-ascii-names.zip"),
              entries(("assets/música.ogg", asset, 0o100644), ("ñ/日本語.txt", b"x", 0o100644)))
    warnings.simplefilter("ignore", UserWarning)  # the doubled name is the point
    write_zip(os.path.join(ARCHIVES, "two-executables.zip"),
              entries(("tessik.exe", b"not a program", 0o100644)))
    # A link that stays inside the build, to a folder: Wine shows a folder
    # link as Windows does, while a link to a file looks like the file there.
    write_zip(os.path.join(ARCHIVES, "link-inside.zip"),
              entries(("assets/models/bird.glb", asset, 0o100644),
                      ("assets/alias", b"models", 0o120777)))
    # Names as Windows' tar.exe and NTFS store them: kept ones, and ones that
    # land elsewhere or on one another.
    for name, more in (
            ("windows-kept-names.zip", [(n, b"x") for n in ("a_b", "CONSOLE", "COM10", ".hidden",
                                                              "música.ogg", "Data/a", "data2/A")]),
            ("windows-case-clash.zip", [("Data/a.txt", b"1"), ("data/A.txt", b"2")]),
            ("windows-exe-case.zip", [("TESSIK.EXE", game)]),
            ("windows-device.zip", [("x/aux.txt", b"x")]),
            ("windows-trailing-dot.zip", [("notes.", b"x")])):
        write_zip(os.path.join(ARCHIVES, name), entries(*[(n, d, 0o100644) for n, d in more]))
    with zipfile.ZipFile(os.path.join(ARCHIVES, "windows-bzip2.zip"), "w") as z:
        z.writestr("tessik.exe", game)
        z.writestr("a.bin", b"x" * 99, compress_type=zipfile.ZIP_BZIP2)
    dll = bytearray(game)
    pe = struct.unpack_from("<I", dll, 0x3C)[0]
    struct.pack_into("<H", dll, pe + 22, struct.unpack_from("<H", dll, pe + 22)[0] | 0x2000)
    write_zip(os.path.join(ARCHIVES, "dll-executable.zip"), [("tessik.exe", bytes(dll), 0o100644)])

    # One byte flipped inside a stored entry's data: only its CRC tells.
    bad = os.path.join(ARCHIVES, "bad-crc.zip")
    write_zip(bad, entries(("assets/pack.bin", asset, 0o100644)), zipfile.ZIP_STORED)
    data = bytearray(read(bad))
    at = data.find(asset) + 100
    data[at] ^= 0x01
    with open(bad, "wb") as f:
        f.write(data)

    # Cut just before its central directory.
    good = read(os.path.join(DATA, "good.zip"))
    central = struct.unpack_from("<I", good, good.rfind(b"PK\x05\x06") + 16)[0]
    with open(os.path.join(ARCHIVES, "no-central-directory.zip"), "wb") as f:
        f.write(good[:central])


def verdicts():
    """One line per archive: its path under the bed, the tool's verdict, and
    its sentence."""
    lines = []
    for folder in (DATA, ARCHIVES):
        for name in sorted(os.listdir(folder)):
            if not name.endswith(".zip"):
                continue
            with tempfile.TemporaryDirectory() as out:
                result = subprocess.run(
                    [TOOL, "game", os.path.join(folder, name), "--version", "0.2",
                     "--base-url", "https://updates.example.com", "--out", out],
                    capture_output=True, text=True)
            if result.returncode not in (0, 1):
                sys.exit(f"{name}: the tool failed: {result.stderr}")
            verdict = "published" if result.returncode == 0 else "refused"
            sentence = result.stderr.strip().replace("\t", " ").replace("\n", " ")
            lines.append(f"{os.path.relpath(os.path.join(folder, name), BED)}\t{verdict}\t{sentence}\n")
    with open(os.path.join(OUT, "verdicts.tsv"), "w", encoding="utf-8") as f:
        f.writelines(lines)


def publish(*args):
    result = subprocess.run([TOOL, *args], capture_output=True, text=True)
    if result.returncode != 0:
        sys.exit(f"tessik-publish {' '.join(args)}: {result.stderr}")
    return result


def served_releases():
    with open(os.path.join(BED, "ports")) as f:
        service = f"https://localhost:{f.read().split()[0]}/files"
    www = os.path.join(BED, "www")
    publish("game", os.path.join(DATA, "good.zip"), "--version", ENCODED_VERSION,
            "--base-url", f"{service}/encoded", "--out", os.path.join(www, "encoded"))

    # A throwaway code-signing certificate; the launcher signed before it is
    # published, as a studio would.
    key, cert = os.path.join(OUT, "signing.key"), os.path.join(OUT, "signing.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                    "-out", cert, "-days", "2", "-subj", "/CN=TESSIK Test Code Signing"],
                   check=True, capture_output=True)
    signed = os.path.join(OUT, "signed-launcher.exe")
    subprocess.run(["osslsigncode", "sign", "-certs", cert, "-key", key, "-n", "TESSIK Launcher",
                    "-in", NEXT_LAUNCHER, "-out", signed], check=True, capture_output=True)
    # Built for https://localhost; the tests point it at this address with
    # TESSIK_LAUNCHER_UPDATE_MANIFEST, hence --force.
    result = publish("launcher", signed, "--base-url", f"{service}/signed",
                     "--out", os.path.join(www, "signed"), "--force")
    if "signed    yes (Authenticode)" not in result.stdout:
        sys.exit("the signed launcher was not seen as signed:\n" + result.stdout)


def patched_releases(game):
    """Three builds of one game published in turn into a tree (each manifest
    kept as m1.json, m2.json, m3.json), the same without patches, with
    damaged patches and index, and with an index that lists a file the build
    lacks."""
    with open(os.path.join(BED, "ports")) as f:
        service = f"https://localhost:{f.read().split()[0]}/files"
    kept, removed = os.urandom(65536), os.urandom(4096)
    builds = [
        {"assets/kept.bin": kept, "assets/changed.bin": b"one" * 999, "assets/removed.bin": removed,
         "Data/levels/one.txt": b"level one\n", "saves/": b""},
        {"assets/kept.bin": kept, "assets/changed.bin": b"two" * 999, "assets/added.bin": b"new",
         "Data/levels/one.txt": b"level one\n"},
        {"assets/kept.bin": kept, "assets/changed.bin": b"three" * 999, "assets/added.bin": b"new",
         "Data/levels/one.txt": b"level one\n", "data/levels/two.txt": b"level two\n"},
    ]
    for n, files in enumerate(builds, 1):
        write_zip(os.path.join(ARCHIVES, f"patched-{n}.zip"),
                  [("tessik.exe", game, 0o100644)] +
                  [(name, data, 0o40755 if name.endswith("/") else 0o100644)
                   for name, data in files.items()])

    def tree(name, count, *extra, first=()):
        out = os.path.join(BED, "www", name)
        for n in range(1, count + 1):
            publish("game", os.path.join(ARCHIVES, f"patched-{n}.zip"), "--version", f"1.{n}",
                    "--base-url", f"{service}/{name}", "--out", out, *extra,
                    *(first if n == 1 else ()))
            shutil.copy(os.path.join(out, "release", "windows-x86_64-manifest.json"),
                        os.path.join(out, "release", f"m{n}.json"))
        return out

    def index_of(out, n):
        with open(os.path.join(out, "release", f"m{n}.json")) as f:
            return os.path.join(out, "builds", json.load(f)["build_index"] + ".index")

    def flip(path):
        data = bytearray(read(path))
        data[len(data) // 2] ^= 0x01
        with open(path, "wb") as f:
            f.write(data)

    patched = tree("patched", 3)
    tree("patched-nopatch", 2, "--patches", "0")
    damaged = tree("patched-damaged", 3)
    with open(index_of(damaged, 2)) as f:
        patch = [line.split()[1] for line in f if line.startswith("patch ")][0]
    flip(os.path.join(damaged, "builds", patch + ".patch.zip"))
    flip(index_of(damaged, 3))

    def add_to_index(out, n, line):
        """Build n's index with one more line, under its own digest and named
        by the manifest."""
        text = read(index_of(out, n)) + line
        digest = hashlib.sha256(text).hexdigest()
        with open(os.path.join(out, "builds", digest + ".index"), "wb") as f:
            f.write(text)
        manifest_file = os.path.join(out, "release", f"m{n}.json")
        with open(manifest_file) as f:
            manifest = json.load(f)
        manifest["build_index"] = digest
        with open(manifest_file, "w") as f:
            json.dump(manifest, f)

    # Four folders of 50 characters: entry paths of about 225, past what a
    # plain Windows path reaches once under a player's storage root.
    deep = "/".join(f"{n}" * 50 for n in "abcd") + "/"
    deep_builds = [{deep + "kept.bin": kept, deep + "changed.bin": b"one" * 999},
                   {deep + "kept.bin": kept, deep + "changed.bin": b"two" * 999,
                    deep + "added-file.bin": b"new"}]
    for n, files in enumerate(deep_builds, 1):
        write_zip(os.path.join(ARCHIVES, f"deep-{n}.zip"),
                  [("tessik.exe", game, 0o100644)] +
                  [(name, data, 0o100644) for name, data in files.items()])
        out = os.path.join(BED, "www", "deep")
        publish("game", os.path.join(ARCHIVES, f"deep-{n}.zip"), "--version", f"1.{n}",
                "--base-url", f"{service}/deep", "--out", out)
        shutil.copy(os.path.join(out, "release", "windows-x86_64-manifest.json"),
                    os.path.join(out, "release", f"m{n}.json"))

    # Build 2's manifest names build 1's index, as a host that mixed releases
    # up would serve it.
    swapped = tree("patched-swapped", 2)
    with open(os.path.join(swapped, "release", "m1.json")) as f:
        first_index = json.load(f)["build_index"]
    with open(os.path.join(swapped, "release", "m2.json")) as f:
        second = json.load(f)
    second["build_index"] = first_index
    with open(os.path.join(swapped, "release", "m2.json"), "w") as f:
        json.dump(second, f)

    delta_releases(game, service)

    add_to_index(tree("patched-lying", 1), 1, b"file 1 " + b"0" * 64 + b" assets/missing.bin\n")
    add_to_index(tree("patched-badpath", 2), 2, b"folder assets/stream:alternate\n")
    # Players keep two builds: set once, carried over by the later publishes.
    tree("kept", 3, first=("--keep-builds", "2"))
    # Players keep one build, and the second's tessik.exe is a Windows program
    # for another processor, which the tool publishes and no machine here starts.
    unstartable = bytearray(game)
    struct.pack_into("<H", unstartable, struct.unpack_from("<I", unstartable, 0x3C)[0] + 4, 0xAA64)
    write_zip(os.path.join(ARCHIVES, "unstartable-2.zip"),
              [("tessik.exe", bytes(unstartable), 0o100644)] +
              [(name, data, 0o100644) for name, data in builds[1].items()])
    out = os.path.join(BED, "www", "unstartable")
    for n, archive in ((1, "patched-1.zip"), (2, "unstartable-2.zip")):
        publish("game", os.path.join(ARCHIVES, archive), "--version", f"1.{n}", "--base-url",
                f"{service}/unstartable", "--out", out, "--keep-builds", "1")
        shutil.copy(os.path.join(out, "release", "windows-x86_64-manifest.json"),
                    os.path.join(out, "release", f"m{n}.json"))
    # A build larger than the test bed's small disk.
    write_zip(os.path.join(ARCHIVES, "roomy.zip"),
              [("tessik.exe", game, 0o100644), ("assets/pack.bin", os.urandom(12 << 20), 0o100644)])
    publish("game", os.path.join(ARCHIVES, "roomy.zip"), "--version", "2.0", "--base-url",
            f"{service}/roomy", "--out", os.path.join(BED, "www", "roomy"))
    print("patched releases in", os.path.dirname(patched))


def delta_releases(game, service):
    """Two builds whose packed file changes 4 KiB inside, published by the
    tool, and a block-level patch between them written here by the patch
    format's rules, beside the tool's whole-file one (the index lists both);
    then the same with operations that point outside the source, with an entry
    whose path leaves the build, and with an output the index disagrees with."""
    pack = bytearray(os.urandom(1 << 20))
    old_pack = bytes(pack)
    pack[300000:304096] = os.urandom(4096)
    builds = [{"assets/pack.bin": old_pack, "assets/notes.txt": b"one\n", "assets/kept.bin": b"k" * 999},
              {"assets/pack.bin": bytes(pack), "assets/notes.txt": b"two\n", "assets/kept.bin": b"k" * 999}]
    for n, files in enumerate(builds, 1):
        write_zip(os.path.join(ARCHIVES, f"delta-{n}.zip"),
                  [("tessik.exe", game, 0o100644)] + [(k, v, 0o100644) for k, v in files.items()])
    sha = lambda data: hashlib.sha256(data).hexdigest()
    ranged = service.rsplit("/files", 1)[0] + "/ranged/-"

    def delta_tree(name, operations, extra=()):
        out = os.path.join(BED, "www", name)
        for n in (1, 2):
            publish("game", os.path.join(ARCHIVES, f"delta-{n}.zip"), "--version", f"1.{n}",
                    "--base-url", f"{ranged}/{name}", "--out", out)
            shutil.copy(os.path.join(out, "release", "windows-x86_64-manifest.json"),
                        os.path.join(out, "release", f"m{n}.json"))
        patch = os.path.join(out, "delta.zip")
        with zipfile.ZipFile(patch, "w") as z:
            z.writestr(".tessik-delta/operations", operations, compress_type=zipfile.ZIP_STORED)
            z.writestr(".tessik-delta/0", bytes(pack[300000:304096]),
                       compress_type=zipfile.ZIP_DEFLATED)
            z.writestr("assets/notes.txt", b"two\n", compress_type=zipfile.ZIP_DEFLATED)
            for entry, data in extra:
                z.writestr(entry, data)
        digest = sha(read(patch))
        os.rename(patch, os.path.join(out, "builds", digest + ".patch.zip"))
        manifest_file = os.path.join(out, "release", "m2.json")
        with open(manifest_file) as f:
            manifest = json.load(f)
        index = read(os.path.join(out, "builds", manifest["build_index"] + ".index"))
        # In place of any delta the tool wrote from 1.1, which the launcher
        # would take first.
        index = index.replace(b"tessik-build-index 1\n", b"tessik-build-index 2\n", 1)
        index = b"".join(line for line in index.splitlines(keepends=True)
                         if not (line.startswith(b"delta ") and line.endswith(b" 1.1\n")))
        index += f"delta {digest} 1.1\n".encode()
        manifest["build_index"] = sha(index)
        with open(os.path.join(out, "builds", sha(index) + ".index"), "wb") as f:
            f.write(index)
        with open(manifest_file, "w") as f:
            json.dump(manifest, f)

    size = len(pack)

    def operations(tail_offset=304096, output_sha=sha(bytes(pack))):
        return (f"tessik-delta 1\nsource {size} {sha(old_pack)} assets/pack.bin\n"
                f"output {size} {output_sha} assets/pack.bin\n"
                f"copy 0 0 300000\nliteral 4096\ncopy 0 {tail_offset} {size - 304096}\n").encode()

    # A folder entry, as zip writers add them, belongs to the build too.
    delta_tree("patched-delta", operations(), extra=[("assets/", b"")])
    delta_tree("patched-delta-outside", operations(tail_offset=304097))
    delta_tree("patched-delta-leaving", operations(), extra=[("../escaped.txt", b"x")])
    delta_tree("patched-delta-disagreeing", operations(output_sha=sha(old_pack)))


if __name__ == "__main__":
    if os.path.exists(OUT):
        subprocess.run(["rm", "-rf", OUT], check=True)
    os.makedirs(ARCHIVES)
    make_archives(read(os.path.join(DATA, "game_standin.exe")))
    verdicts()
    served_releases()
    patched_releases(read(os.path.join(DATA, "game_standin.exe")))
    print("release-tool test data ready in", OUT)
