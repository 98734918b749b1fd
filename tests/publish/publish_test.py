#!/usr/bin/env python3
"""The release tool: what it refuses (with its sentence, writing nothing),
what it publishes and how it looks after a release folder, and how nginx
serves that folder.

Usage: publish_test.py <tessik-publish> <test bed folder>
"""
import fcntl
import hashlib
import json
import os
import random
import shutil
import signal
import ssl
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.request
import zipfile

TOOL = ""
BED = ""
KEYS = ""  # release.key/.pem (the keyed launcher's), other.key/.pem
KEYED_LAUNCHER = ""
LAUNCHER_MANIFEST = "release/windows-launcher-x86_64-manifest.json"
GAME_MANIFEST = "release/windows-x86_64-manifest.json"
RECORD = ".published-builds"  # every build a manifest has named


def run(*args):
    return subprocess.run([TOOL, *args], capture_output=True, text=True)


def data(name):
    if os.path.exists(os.path.join(BED, "data", name)):
        return os.path.join(BED, "data", name)
    return os.path.join(BED, "publish", "archives", name)


def sha256(path):
    return subprocess.run(["sha256sum", path], capture_output=True, text=True).stdout.split()[0]


def manifest(out, path=GAME_MANIFEST):
    with open(os.path.join(out, path)) as f:
        return json.load(f)


def game_zip(path, *entries, method=zipfile.ZIP_DEFLATED):
    """A zip with the test game's tessik.exe and the given (name, bytes) entries."""
    with open(data("game_standin.exe"), "rb") as f:
        game = f.read()
    with zipfile.ZipFile(path, "w", method) as z:
        z.writestr("tessik.exe", game)
        for name, payload in entries:
            z.writestr(name, payload)
    return path


def patch_local_header(path, name, field, value):
    """Changes one field of an entry's local header only: "name" (same
    length), "crc" or "size"; the central directory keeps the truth."""
    with open(path, "rb") as f:
        raw = bytearray(f.read())
    at = raw.find(b"PK\x03\x04")
    while raw[at + 30:at + 30 + len(name)] != name.encode():
        at = raw.find(b"PK\x03\x04", at + 4)
    if field == "name":
        raw[at + 30:at + 30 + len(value)] = value.encode()
    else:
        struct.pack_into("<I", raw, at + (14 if field == "crc" else 22), value)
    with open(path, "wb") as f:
        f.write(raw)
    return path


def apply_patch(earlier, patch, index):
    """The files of the index's build, from the earlier build's zip and a patch:
    its operations ("tessik-delta 1") rebuild outputs from earlier files and
    literal entries, every other entry is a whole file, the rest unchanged."""
    with zipfile.ZipFile(earlier) as old, zipfile.ZipFile(patch) as p:
        stored = {i.filename: old.read(i) for i in old.infolist() if not i.is_dir()}
        names = p.namelist()
        carried = {name: p.read(name) for name in names if not name.startswith(".tessik-delta/")}
        if names and names[0] == ".tessik-delta/operations":
            sources, current, literals, outputs = [], None, b"", 0
            lines = p.read(names[0]).decode().splitlines()
            assert lines[0] == "tessik-delta 1", lines[0]
            for line in lines[1:]:
                kind, rest = line.split(" ", 1)
                if kind in ("source", "output"):
                    size, digest, name = rest.split(" ", 2)
                if kind == "source":
                    assert (len(stored[name]), hashlib.sha256(stored[name]).hexdigest()) == \
                        (int(size), digest)
                    sources.append(stored[name])
                elif kind == "output":
                    literal = f".tessik-delta/{outputs}"
                    outputs += 1
                    literals = p.read(literal) if literal in names else b""
                    current = carried[name] = bytearray()
                elif kind == "copy":
                    source, offset, length = map(int, rest.split())
                    current += sources[source][offset:offset + length]
                else:
                    current += literals[:int(rest)]
                    literals = literals[int(rest):]
    built = {}
    with open(index) as f:
        for line in f:
            if line.startswith("file "):
                _, size, digest, name = line.rstrip("\n").split(" ", 3)
                built[name] = bytes(carried.get(name, stored.get(name, b"")))
                assert hashlib.sha256(built[name]).hexdigest() == digest, name
    return built


def lock_is_held(folder):
    try:
        fd = os.open(os.path.join(folder, ".lock"), os.O_RDONLY)
    except FileNotFoundError:
        return False
    try:
        fcntl.flock(fd, fcntl.LOCK_SH | fcntl.LOCK_NB)
        return False
    except BlockingIOError:
        return True
    finally:
        os.close(fd)


def wait_for(condition, what):
    deadline = time.monotonic() + 60
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.01)


class Folder(unittest.TestCase):
    def setUp(self):
        self.out = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.out)

    def publish(self, archive, version, *extra, base="https://cdn.example.com/tessik/"):
        return run("game", data(archive), "--version", version, "--base-url", base,
                   "--out", self.out, *extra)

    def ok(self, result):
        self.assertEqual(result.returncode, 0, result.stderr)
        return result


class Refusals(unittest.TestCase):
    def refuse(self, args, sentence, base="https://updates.example.com"):
        with tempfile.TemporaryDirectory() as out:
            target = os.path.join(out, "release-root")
            result = run(*args, "--base-url", base, "--out", target)
            self.assertEqual(result.returncode, 1, result.stderr)
            self.assertTrue(result.stderr.startswith("tessik-publish: " + sentence), result.stderr)
            self.assertFalse(os.path.exists(target), "something was written")

    def test_archives_the_launcher_would_refuse_or_could_not_start(self):
        unsafe = "The update archive contains an unsafe path"
        missing = "The update archive is missing tessik.exe"
        cases = {
            "parent.zip": unsafe + ': "../escaped.txt"',
            "nested-parent.zip": unsafe, "absolute.zip": unsafe, "rooted-backslash.zip": unsafe,
            "drive.zip": unsafe, "drive-relative.zip": unsafe, "dot.zip": unsafe,
            "lying-central.zip": 'The archive entry "assets/e.tx" has a local header that '
                                 "disagrees with the central directory in its name",
            "nested-exe.zip": missing, "capital-exe.zip": missing, "crlf-names.zip": missing,
            "damaged.zip": "The archive has no end record",
            "truncated.zip": "The archive has no end record",
            "no-central-directory.zip": "The archive has no end record",
            "bad-crc.zip": 'The archive entry "assets/pack.bin" does not unpack to the bytes its '
                           "records describe (a bad CRC or broken compressed data)",
            "symlink.zip": 'The archive entry "assets/link" is a link',
            "link-inside.zip": 'The archive entry "assets/alias" is a link',
            "two-executables.zip": 'The archive entry "tessik.exe" appears twice',
            "empty-exe.zip": 'The archive entry "tessik.exe" is empty',
            "text-exe.zip": 'The archive entry "tessik.exe" is not a Windows program',
            "dll-executable.zip": 'The archive entry "tessik.exe" is not a Windows program',
            "abc.bin": "The archive is too short to be a zip",
            "no-such-file.zip": "Cannot read",
        }
        for archive, sentence in cases.items():
            with self.subTest(archive=archive):
                self.refuse(["game", data(archive), "--version", "1.0.0"], sentence)

    def test_unsafe_versions(self):
        for version in ("..", ".", "../x", "a/b", "a\\b", "C:", "CON", "nul.txt", "1.0.", "1.0 ", "a*b"):
            with self.subTest(version=version):
                self.refuse(["game", data("good.zip"), "--version", version],
                            f'The version "{version}" cannot name a build folder; '
                            "use dotted numbers such as 1.0.2")

    def test_base_urls_that_are_not_an_https_host_and_path(self):
        for base in ("http://plain.example", "HTTPS://x.example", "https://", "https:///a",
                     "https://x.example/a?b=1", "https://x.example/#top", "https://me@x.example",
                     "https://x.example/a b", "https://x.example\r", "https://x.example/a\\b",
                     "https://x.example:0", "https://x.example/../a", "https://x.example/%zz",
                     "https://-x.example", "https://x.example/ü"):
            with self.subTest(base=base):
                self.refuse(["game", data("good.zip"), "--version", "1.0.0"], "The base URL",
                            base=base)

    def test_launchers_that_are_not_the_launcher_or_not_for_this_address(self):
        self.refuse(["launcher", data("game_standin.exe")],
                    "The executable's original file name is not TESSIK-Launcher-Windows-x64.exe")
        self.refuse(["launcher", data("good.zip")], "The file is not a Windows executable")
        for base in ("https://u.example", "https://updates.example.com:8443",
                     "https://updates.example.com/mirror", "https://updates.example.com:8443/m"):
            with self.subTest(base=base):
                self.refuse(["launcher", data("launcher-0.1.190.exe")],
                            "The launcher reads its manifests from "
                            f"https://updates.example.com/release/, but the base URL is {base}",
                            base=base)

    def test_command_line_errors_say_what_is_wrong(self):
        self.assertIn("tessik-publish game ARCHIVE", run("--help").stdout)
        self.assertRegex(run("--version").stdout, r"^tessik-publish \d+\.\d+\.\d+\n$")
        for args, said in ((["game", data("good.zip")], "game needs --version"),
                           (["launcher", "x.exe", "--out", "o"], "launcher needs --base-url"),
                           (["prune", "d", "--keep", "many"], "--keep needs a whole number, such as 3"),
                           (["status", "d", "--keep", "1"], "status has no option --keep"),
                           (["launcher", "x.exe", "--keep-builds", "2"],
                            "launcher has no option --keep-builds"),
                           (["promote", "d", "--version", "1", "--launcher", "--keep-builds", "2"],
                            "--keep-builds is for the game's manifest, not the launcher's"),
                           *((["rollback", "d", "--version", "1", "--keep-builds", n],
                              "--keep-builds needs a number of builds from 1 to 999, or all")
                             for n in ("0", "1000", "02", "+2", "two", "")),
                           (["publish"], 'unknown command "publish"'), ([], "no command given")):
            with self.subTest(args=args):
                result = run(*args)
                self.assertEqual(result.returncode, 2)
                self.assertEqual(result.stderr,
                                 f"tessik-publish: {said} (see tessik-publish --help)\n")
                as_json = json.loads(run(*args, "--json").stdout)
                self.assertEqual((as_json["ok"], as_json["error"]), (False, said))


class WindowsNames(Folder):
    """Entry names judged as Windows' tar.exe and NTFS store them."""

    def test_names_windows_stores_otherwise_are_refused_naming_the_entry(self):
        rewritten = "holds a character that Windows' tar.exe writes as \"_\""
        device = "has a name that Windows reserves for a device"
        trailing = "has a name ending in a dot or a blank"
        same = "is the same file on Windows as the entry"
        header = "has a local header that disagrees with the central directory"
        cases = [
            ([("a*b.txt", b"x")], "a*b.txt", rewritten),
            ([("data/a?b", b"x")], "data/a?b", rewritten),
            ([('q"<>.txt', b"x")], 'q"<>.txt', rewritten),
            ([("bad\x01name", b"x")], "bad\\001name", "holds a control character"),
            ([("data/name.", b"x")], "data/name.", trailing),
            ([("data /a", b"x")], "data /a", trailing),
            ([("x/aux.txt", b"x")], "x/aux.txt", device),
            ([("Con/a", b"x")], "Con/a", device),
            ([("lpt9.log", b"x")], "lpt9.log", device),
            ([("com\u00b9", b"x")], "com\u00b9", device),
            ([("conout$", b"x")], "conout$", device),
            ([("Data/a.txt", b"1"), ("data/A.txt", b"2")], "data/A.txt", same),
            ([("TESSIK.EXE", b"MZ")], "TESSIK.EXE", same),
            ([("\u00e9t\u00e9", b"1"), ("\u00c9T\u00c9", b"2")], "\u00c9T\u00c9", same),
            ([("x", b"1"), ("x/y", b"2")], "x/y", "lies under the file"),
            ([("d/x/", b""), ("d/X", b"2")], "d/X", "is a file where another entry needs a folder"),
            ([("a" * 256, b"x")], "a" * 256, "has a name longer than 255 characters"),
        ]
        for number, (entries, entry, why) in enumerate(cases):
            with self.subTest(entry=entry):
                archive = game_zip(os.path.join(self.out, f"{number}.zip"), *entries)
                result = run("game", archive, "--version", "1", "--base-url", "https://x.example",
                             "--out", os.path.join(self.out, "root"), "--json")
                self.assertEqual(result.returncode, 1, result.stderr)
                self.assertIn(f'The archive entry "{entry}" {why}', result.stderr)
                self.assertFalse(json.loads(result.stdout)["ok"])
                self.assertFalse(os.path.exists(os.path.join(self.out, "root")))

    def test_zips_two_readers_see_differently_or_windows_cannot_unpack_are_refused(self):
        zip_of = lambda name, *more: game_zip(os.path.join(self.out, name),
                                              ("assets/pack.bin", b"bird" * 64), *more)
        cases = {
            "local name": patch_local_header(zip_of("n.zip"), "assets/pack.bin", "name",
                                             "assets/evil.bin"),
            "local crc": patch_local_header(zip_of("c.zip"), "assets/pack.bin", "crc", 7),
            "local size": patch_local_header(zip_of("s.zip"), "assets/pack.bin", "size", 9),
        }
        for what, archive in cases.items():
            with self.subTest(what=what):
                result = self.publish(archive, "1")
                self.assertEqual(result.returncode, 1)
                self.assertIn('"assets/pack.bin"', result.stderr)
        bzip2 = game_zip(os.path.join(self.out, "b.zip"), ("a.bin", b"x" * 99),
                         method=zipfile.ZIP_BZIP2)
        self.assertIn('"tessik.exe" is packed with method 12, which Windows\' tar.exe cannot unpack',
                      self.publish(bzip2, "1").stderr)

    def test_names_windows_keeps_are_published_and_long_paths_warned(self):
        long_path = "assets/" + "deep/" * 32 + "bird.glb"
        archive = game_zip(os.path.join(self.out, "kept.zip"),
                           *[(name, b"x") for name in ("a_b", "CONSOLE", "COM10", "m\u00fasica.ogg",
                                                       ".hidden", "Data/a", "data2/A", "data/b",
                                                       long_path)])
        result = self.ok(self.publish(archive, "1"))
        self.assertIn(f'the archive entry "{long_path}" has a path of {len(long_path)} characters',
                      result.stderr)

    def test_a_version_equal_once_case_is_folded_is_refused(self):
        self.ok(self.publish("good.zip", "1.0.0-RC1"))
        refused = self.publish("folders.zip", "1.0.0-rc1", "--force")
        self.assertEqual(refused.returncode, 1)
        self.assertIn("The version 1.0.0-rc1 differs from the published 1.0.0-RC1 only in letter "
                      "case", refused.stderr)


class Publishing(Folder):
    def test_game_is_content_addressed_and_every_path_element_is_encoded(self):
        for archive, version, encoded in (("good.zip", "2.1.0", "2.1.0"),
                                          ("non-ascii-names.zip", "3.0#x%41", "3.0%23x%2541")):
            with self.subTest(archive=archive):
                self.ok(self.publish(archive, version))
                digest = sha256(data(archive))
                published = manifest(self.out)
                index = os.path.join(self.out, "builds", published.pop("build_index") + ".index")
                with open(index) as f:
                    self.assertIn(f"build {digest} {version}\n", f.read())
                self.assertEqual(published, {
                    "version": version, "platform": "windows-x86_64",
                    "url": f"https://cdn.example.com/tessik/builds/tessik-{encoded}-{digest}.zip",
                    "sha256": digest, "executable": "tessik.exe", "ranges": "bytes"})
                with open(os.path.join(self.out, "builds", f"tessik-{version}-{digest}.zip"),
                          "rb") as a, open(data(archive), "rb") as b:
                    self.assertEqual(a.read(), b.read())
        self.assertEqual(sorted(os.listdir(self.out)), [".lock", RECORD, "builds", "release"],
                         "no temporary file remains")

    def test_the_byte_range_key_comes_after_the_four_unless_the_host_serves_none(self):
        self.ok(self.publish("good.zip", "1.0"))
        with open(os.path.join(self.out, GAME_MANIFEST)) as f:
            text = f.read()
        self.assertLess(text.index('"executable"'), text.index('"ranges":"bytes"'))
        self.ok(self.publish("good.zip", "1.1", "--no-byte-ranges"))
        self.assertNotIn("ranges", manifest(self.out))
        self.ok(run("rollback", self.out, "--version", "1.0"))
        self.assertEqual(manifest(self.out)["ranges"], "bytes")

    def test_the_kept_build_count_is_carried_over_until_changed_or_removed(self):
        self.ok(self.publish("good.zip", "1.0"))
        self.assertNotIn("keep_builds", manifest(self.out))
        self.ok(self.publish("good.zip", "1.1", "--keep-builds", "2"))
        with open(os.path.join(self.out, GAME_MANIFEST)) as f:
            text = f.read()
        self.assertLess(text.index('"executable"'), text.index('"keep_builds":"2"'))
        self.ok(self.publish("folders.zip", "1.2"))
        self.assertEqual(manifest(self.out)["keep_builds"], "2")
        self.ok(run("rollback", self.out, "--version", "1.1", "--keep-builds", "999"))
        self.assertEqual(manifest(self.out)["keep_builds"], "999")
        self.ok(run("promote", self.out, "--version", "1.2"))
        self.assertEqual(manifest(self.out)["keep_builds"], "999")
        self.ok(run("promote", self.out, "--version", "1.2", "--keep-builds", "all"))
        self.assertNotIn("keep_builds", manifest(self.out))

    def test_a_stray_file_under_the_builds_name_is_replaced(self):
        digest = sha256(data("good.zip"))
        stray = os.path.join(self.out, "builds", f"tessik-1.0-{digest}.zip")
        os.makedirs(os.path.dirname(stray))
        with open(stray, "wb") as f:
            f.write(b"stray")
        result = self.ok(self.publish("good.zip", "1.0"))
        self.assertIn("did not hold the bytes its name promises", result.stderr)
        self.assertEqual(sha256(stray), digest)

    def test_a_version_published_again_with_other_bytes_needs_force(self):
        self.ok(self.publish("good.zip", "1.0"))
        refused = self.publish("folders.zip", "1.0")
        self.assertEqual(refused.returncode, 1)
        self.assertIn("Version 1.0 is already published with other bytes", refused.stderr)
        self.assertEqual(manifest(self.out)["sha256"], sha256(data("good.zip")))
        forced = self.ok(self.publish("folders.zip", "1.0", "--force"))
        self.assertIn("never download this one", forced.stderr)
        self.assertEqual(manifest(self.out)["sha256"], sha256(data("folders.zip")))

    def test_launcher_version_host_and_signature_come_from_the_executable(self):
        next_launcher = os.path.join(BED, "publish", "signed-launcher.exe")
        result = self.ok(run("launcher", next_launcher, "--base-url", "https://localhost",
                             "--out", self.out, "--json"))
        self.assertEqual(json.loads(result.stdout)["launcher"]["signed"], "yes (Authenticode)")
        self.assertEqual(manifest(self.out, LAUNCHER_MANIFEST)["version"], "0.1.191")
        older = run("launcher", data("launcher-0.1.190.exe"), "--base-url",
                    "https://updates.example.com", "--out", self.out)
        self.assertEqual(older.returncode, 1)
        self.assertIn("The launcher 0.1.190 is older than the published 0.1.191", older.stderr)
        forced = self.ok(run("launcher", data("launcher-0.1.190.exe"), "--base-url",
                             "https://updates.example.com", "--out", self.out, "--force"))
        self.assertIn("carries no Authenticode signature", forced.stderr)
        self.assertEqual(manifest(self.out, LAUNCHER_MANIFEST)["version"], "0.1.190")

    def test_an_authenticode_signature_counts_only_when_it_verifies(self):
        with open(os.path.join(BED, "publish", "signed-launcher.exe"), "rb") as f:
            signed = bytearray(f.read())
        tampered = bytearray(signed)
        tampered[0x400] ^= 0x01  # code the signature covers
        for name, image, verdict in (("launcher.exe", signed, "yes (Authenticode)"),
                                     ("tampered.exe", tampered, "signature present but not valid")):
            with self.subTest(image=name):
                path = os.path.join(self.out, name)
                with open(path, "wb") as f:
                    f.write(image)
                launcher = run("launcher", path, "--base-url", "https://localhost", "--out",
                               os.path.join(self.out, "r"), "--dry-run", "--json")
                self.assertEqual(json.loads(launcher.stdout)["launcher"]["signed"], verdict)
                # The same judgement for a game's tessik.exe, read as it streams past.
                with zipfile.ZipFile(os.path.join(self.out, name + ".zip"), "w") as z:
                    z.writestr("tessik.exe", bytes(image))
                game = run("game", os.path.join(self.out, name + ".zip"), "--version", "1",
                           "--base-url", "https://x.example", "--out",
                           os.path.join(self.out, "r"), "--dry-run", "--json")
                self.assertEqual(json.loads(game.stdout)["game"]["tessik.exe signed"], verdict)

    def test_a_tessik_exe_whose_manifest_asks_for_elevation_is_published_with_a_warning(self):
        def executable(name, manifest, padded):
            """A program built by the mingw tool chain with `manifest` as its
            resource 1 of type 24; padded, its resources lie past 64 KiB."""
            folder = os.path.join(self.out, name)
            os.makedirs(folder)
            with open(os.path.join(folder, "app.manifest"), "wb") as f:
                f.write(manifest)
            with open(os.path.join(folder, "app.rc"), "w") as f:
                f.write('1 24 "app.manifest"\n')
            with open(os.path.join(folder, "main.c"), "w") as f:
                f.write(f"const char pad[{200000 if padded else 1}] = {{1}};\n"
                        "int main(int argc, char **argv) { (void)argv; return pad[argc - 1]; }\n")
            for tool in (["x86_64-w64-mingw32-windres", "app.rc", "-O", "coff", "-o", "app.o"],
                         ["x86_64-w64-mingw32-gcc", "-s", "main.c", "app.o", "-o", "tessik.exe"]):
                subprocess.run(tool, cwd=folder, check=True)
            with open(os.path.join(folder, "tessik.exe"), "rb") as f:
                return f.read()

        def manifest(level, element="requestedExecutionLevel", before=""):
            return ('<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
                    '<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">\n'
                    '<trustInfo xmlns="urn:schemas-microsoft-com:asm.v3"><security>'
                    f'<requestedPrivileges>{before}<{element} level="{level}" uiAccess="false"/>'
                    '</requestedPrivileges></security></trustInfo></assembly>\n')

        admin = executable("admin", manifest("requireAdministrator").encode(), True)
        with open(data("game_standin.exe"), "rb") as f:
            standin = f.read()
        for name, image, warned in (
                ("admin", admin, "requireAdministrator"),
                ("highest", executable("highest", manifest(
                    "highestAvailable", "ms_asmv3:requestedExecutionLevel").replace(
                    "<trustInfo xmlns=", "<trustInfo xmlns:ms_asmv3=").encode(), False),
                 "highestAvailable"),
                ("utf-16", executable("utf-16", manifest("requireAdministrator").encode("utf-16"),
                                      False), "requireAdministrator"),
                ("as-invoker", executable("as-invoker", manifest("asInvoker", before=(
                    '<!-- <requestedExecutionLevel level="requireAdministrator"/> -->')).encode(),
                    True), None),
                # Cut before its resources: every offset they give points past the end.
                ("cut", admin[:len(admin) // 2], None),
                ("none", standin, None)):
            with self.subTest(executable=name):
                archive = os.path.join(self.out, name + ".zip")
                with zipfile.ZipFile(archive, "w") as z:
                    z.writestr("tessik.exe", image)
                result = self.ok(run("game", archive, "--version", "1", "--base-url",
                                     "https://x.example", "--out", os.path.join(self.out, "r" + name)))
                if warned:
                    self.assertIn(f"tessik.exe asks in its manifest to run as administrator "
                                  f"({warned}): ", result.stderr)
                    self.assertIn("sees a Windows elevation prompt at every start of the game",
                                  result.stderr)
                else:
                    self.assertNotIn("administrator", result.stderr)

    def test_a_game_older_than_the_live_one_needs_force(self):
        self.ok(self.publish("good.zip", "1.10"))
        older = self.publish("folders.zip", "1.9")
        self.assertEqual(older.returncode, 1)
        self.assertIn("The game 1.9 is older than the published 1.10", older.stderr)
        self.assertEqual(manifest(self.out)["version"], "1.10")
        self.ok(self.publish("folders.zip", "1.9", "--force"))
        self.assertEqual(manifest(self.out)["version"], "1.9")

    def test_dry_run_checks_and_writes_nothing(self):
        target = os.path.join(self.out, "root")
        result = run("game", data("good.zip"), "--version", "1", "--base-url", "https://x.example",
                     "--out", target, "--dry-run", "--json")
        self.assertEqual(json.loads(result.stdout)["game"]["sha256"], sha256(data("good.zip")))
        self.assertFalse(os.path.exists(target))
        self.assertEqual(run("game", data("bad-crc.zip"), "--version", "1", "--base-url",
                             "https://x.example", "--out", target, "--dry-run").returncode, 1)

    def test_memory_stays_flat_for_a_large_archive_and_its_delta_patch(self):
        def big(name, changed_mib):
            path = os.path.join(self.out, name)
            with zipfile.ZipFile(path, "w", zipfile.ZIP_STORED) as z:
                with open(data("game_standin.exe"), "rb") as f:
                    z.writestr("tessik.exe", f.read())
                with z.open("assets/pack.bin", "w") as pack:  # this process stays small
                    for n in range(96):
                        pack.write(random.Random(n + 1000 * (n == changed_mib)).randbytes(1 << 20))
            return path
        # A process's peak counts the memory of the one it was forked from,
        # so the tool is started by a small fresh Python, not by this test.
        measure = ("import os, sys\n"
                   "child = os.fork()\n"
                   "if child == 0:\n"
                   "    os.dup2(os.open(os.devnull, os.O_WRONLY), 1)\n"
                   "    os.execv(sys.argv[1], sys.argv[1:])\n"
                   "_, status, usage = os.wait4(child, 0)\n"
                   "print(os.waitstatus_to_exitcode(status), usage.ru_maxrss)\n")
        # The second publish holds the block table of the first and matches against it.
        for archive, version, most in ((big("big.zip", -1), "1", 32), (big("big2.zip", 50), "2", 48)):
            with self.subTest(version=version):
                result = subprocess.run([sys.executable, "-I", "-S", "-c", measure, TOOL, "game",
                                         archive, "--version", version, "--base-url",
                                         "https://x.example", "--out", os.path.join(self.out, "r")],
                                        capture_output=True, text=True)
                status, peak = map(int, result.stdout.split())
                self.assertEqual(status, 0, result.stderr)
                self.assertLess(peak, most << 10, "peak resident KiB for a 96 MiB archive")
        [patch] = [n for n in os.listdir(os.path.join(self.out, "r", "builds")) if "patch" in n]
        self.assertLess(os.path.getsize(os.path.join(self.out, "r", "builds", patch)), 2 << 20)


class Keeping(Folder):
    def test_status_rollback_and_prune(self):
        # Builds that share nothing: their patches are made only past the limit.
        for archive, version in (("good.zip", "1.0"), ("folders.zip", "1.1"), ("big.zip", "1.2")):
            self.ok(self.publish(archive, version, "--patch-limit", "200"))
        status = json.loads(self.ok(run("status", self.out, "--json")).stdout)
        self.assertEqual((status["game"]["version"], status["game"]["state"]), ("1.2", "ok"))
        self.assertEqual([(p["from"], p["state"]) for p in status["game"]["patches"]],
                         [("1.1", "ok"), ("1.0", "ok")])
        for patch in status["game"]["patches"]:
            self.assertEqual(patch["bytes"], os.path.getsize(
                os.path.join(self.out, "builds", patch["sha256"] + ".patch.zip")))
        self.assertEqual(status["game"]["index"]["state"], "ok")
        self.assertEqual(status["launcher"]["state"], "not published")

        self.ok(run("rollback", self.out, "--version", "1.0"))
        self.assertEqual(manifest(self.out)["url"], "https://cdn.example.com/tessik/builds/"
                         f"tessik-1.0-{sha256(data('good.zip'))}.zip")
        self.assertEqual(run("promote", self.out, "--version", "3.0").returncode, 1)

        order = json.loads(self.ok(run("upload-order", self.out, "--json")).stdout)
        # Every build with its index and patches, before any manifest names them.
        first = list(order["1. the builds, their patches and indexes"])
        self.assertEqual(sorted(first), sorted("builds/" + name for name in
                                               os.listdir(os.path.join(self.out, "builds"))))
        self.assertTrue([name for name in first if name.endswith(".patch.zip")])
        self.assertLess(max(first.index(n) for n in first if n.endswith(".patch.zip")),
                        min(first.index(n) for n in first if n.endswith(".index")))
        self.assertEqual(list(order["2. the manifests"]), [GAME_MANIFEST])
        self.assertIn(".lock", order["3. then"]["never"])

        pruned = json.loads(self.ok(run("prune", self.out, "--keep", "1", "--json")).stdout)
        # 1.1 goes with its index and the patch that leads to it from 1.0;
        # the patches to 1.2 stay while 1.2 does.
        self.assertEqual(len(pruned["game"]["removed"]), 3)
        builds = os.listdir(os.path.join(self.out, "builds"))
        self.assertEqual(sorted(name for name in builds if name.startswith("tessik-")),
                         sorted([pruned["game"]["live"][0], pruned["game"]["kept"][0]]))
        indexes = [name for name in builds if name.endswith(".index")]
        listed = set()
        for name in indexes:
            with open(os.path.join(self.out, "builds", name)) as f:
                listed |= {line.split()[1] + ".patch.zip" for line in f if line.startswith("patch ")}
        self.assertEqual(len(indexes), 2)
        self.assertEqual({name for name in builds if name.endswith(".patch.zip")}, listed)
        self.assertTrue(listed)

        live = os.path.join(self.out, "builds", pruned["game"]["live"][0])
        with open(live, "r+b") as f:
            f.write(b"X")
        result = run("status", self.out)
        self.assertEqual(result.returncode, 1)
        self.assertIn("build does not match its digest", result.stdout)
        self.assertEqual(run("promote", self.out, "--version", "1.0").returncode, 1)
        os.remove(live)
        self.assertIn("build missing", run("status", self.out).stdout)


class Patches(Folder):
    """What a patch holds, where it comes from, and when it is left out."""

    def builds(self, changed_share):
        """Two builds: a stored random pack that changes, a text that changes,
        and an unchanged pack of (1 - changed_share) of the bytes."""
        kept = os.urandom(int(4000000 * (1 - changed_share)))
        for n in (1, 2):
            path = os.path.join(self.out, f"b{n}.zip")
            with zipfile.ZipFile(path, "w") as z:
                with open(data("game_standin.exe"), "rb") as f:
                    z.writestr("tessik.exe", f.read())
                z.writestr("packs/kept.bin", kept, zipfile.ZIP_STORED)
                z.writestr("packs/p.bin", os.urandom(int(4000000 * changed_share)), zipfile.ZIP_STORED)
                z.writestr("text.txt", f"line {n}\n".encode() * 900, zipfile.ZIP_DEFLATED)
        return os.path.join(self.out, "b1.zip"), os.path.join(self.out, "b2.zip")

    def publish_json(self, archive, version, *extra):
        return json.loads(self.ok(run("game", archive, "--version", version, "--base-url",
                                      "https://x.example", "--out", self.out, "--json",
                                      *extra)).stdout)["game"]

    def test_a_patch_holds_each_changed_entry_as_the_build_stores_it(self):
        first, second = self.builds(0.2)
        self.publish_json(first, "1.0")
        would = self.publish_json(second, "1.1", "--dry-run")
        done = self.publish_json(second, "1.1")
        # The dry run names the files and sizes the run writes.
        self.assertEqual((would["patches"], would["index"], would["index bytes"]),
                         (done["patches"], done["index"], done["index bytes"]))
        self.assertEqual(os.path.getsize(done["index"]), done["index bytes"])
        [patch] = done["patches"]
        self.assertEqual(set(patch), {"from", "sha256", "kind", "bytes", "files", "unpacked_bytes"})
        self.assertEqual((patch["from"], patch["kind"], patch["files"]), ("1.0", "files", 2))
        path = os.path.join(self.out, "builds", patch["sha256"] + ".patch.zip")
        self.assertEqual((patch["bytes"], patch["unpacked_bytes"]),
                         (os.path.getsize(path), 4000000 // 5 + len(b"line 2\n") * 900))
        with zipfile.ZipFile(path) as p, zipfile.ZipFile(second) as b:
            self.assertEqual(p.namelist(), ["packs/p.bin", "text.txt"])
            for name in p.namelist():
                with self.subTest(entry=name):
                    ours, theirs = p.getinfo(name), b.getinfo(name)
                    self.assertEqual((ours.compress_type, ours.CRC, ours.compress_size, ours.file_size),
                                     (theirs.compress_type, theirs.CRC, theirs.compress_size,
                                      theirs.file_size))
                    self.assertEqual(p.read(name), b.read(name))
        self.assertEqual(sorted(os.listdir(self.out)), [".lock", RECORD, "b1.zip", "b2.zip",
                                                       "builds", "release"],
                         "nothing left in .incoming")

    def test_a_change_inside_a_big_file_costs_its_bytes_and_rebuilds_the_build(self):
        pack, moved = os.urandom(3 << 20), os.urandom(300000)
        text = b"".join(b"record %d of the table\n" % n for n in range(20000))
        # The pack is read where the earlier build stores it, the deflated
        # files from copies unpacked for the while.
        first = game_zip(os.path.join(self.out, "b1.zip"), ("old/moved.bin", moved),
                         ("data/text.txt", text), ("small.txt", b"s1"))
        with zipfile.ZipFile(first, "a") as z:
            z.writestr("packs/a.pak", pack, zipfile.ZIP_STORED)
        changed = bytearray(pack)
        changed[2000000:2000000 + 65536] = os.urandom(65536)  # overwritten
        changed[5000:5000] = os.urandom(4096)  # inserted
        second = os.path.join(self.out, "b2.zip")
        with zipfile.ZipFile(first) as old, zipfile.ZipFile(second, "w") as z:
            z.writestr("tessik.exe", old.read("tessik.exe"))
            z.writestr("packs/a.pak", bytes(changed), zipfile.ZIP_STORED)
            z.writestr("new/moved.bin", moved[:150000], zipfile.ZIP_STORED)  # split in two
            z.writestr("new/moved2.bin", moved[150000:], zipfile.ZIP_STORED)
            z.writestr("data/text.txt", text + b"appended\n" * 100, zipfile.ZIP_DEFLATED)
            z.writestr("small.txt", b"s2")
        self.publish_json(first, "1.0")
        would = self.publish_json(second, "1.1", "--dry-run")
        done = self.publish_json(second, "1.1")
        self.assertEqual((would["patches"], would["index"]), (done["patches"], done["index"]))
        [patch] = done["patches"]
        with open(done["index"]) as f:
            lines = f.read().splitlines()
        self.assertEqual(lines[0], "tessik-build-index 2")
        self.assertIn(f"delta {patch['sha256']} 1.0", lines)
        self.assertEqual(patch["kind"], "delta")
        self.assertLess(patch["bytes"], 65536 + 4096 + 900 + 16384, "about the changed bytes")
        path = os.path.join(self.out, "builds", patch["sha256"] + ".patch.zip")
        with zipfile.ZipFile(path) as p:
            first_entry = p.infolist()[0]
            self.assertEqual((first_entry.filename, first_entry.compress_type),
                             (".tessik-delta/operations", zipfile.ZIP_STORED))
            self.assertEqual(sorted(n for n in p.namelist() if not n.startswith(".tessik-delta/")),
                             ["small.txt"])
        with zipfile.ZipFile(second) as b:
            self.assertEqual(apply_patch(first, path, done["index"]),
                             {i.filename: b.read(i) for i in b.infolist() if not i.is_dir()})
        self.assertEqual(sorted(os.listdir(self.out)), [".lock", RECORD, "b1.zip", "b2.zip",
                                                       "builds", "release"],
                         "nothing left in .incoming")
        status = json.loads(self.ok(run("status", self.out, "--json")).stdout)["game"]
        self.assertEqual([(p["from"], p["kind"], p["state"]) for p in status["patches"]],
                         [("1.0", "delta", "ok")])
        order = json.loads(self.ok(run("upload-order", self.out, "--json")).stdout)
        self.assertIn("builds/" + patch["sha256"] + ".patch.zip",
                      order["1. the builds, their patches and indexes"])
        # Leaving with its build.
        self.publish_json(first, "1.2")
        self.ok(run("prune", self.out, "--keep", "0"))
        self.assertFalse(os.path.exists(path))

    def test_patches_come_from_the_live_build_first_then_the_newest(self):
        first, second = self.builds(0.2)
        for archive, version in ((first, "1.0"), (second, "1.1"), (first, "1.2")):
            self.publish_json(archive, version, "--force")
        self.ok(run("rollback", self.out, "--version", "1.0"))
        made = self.publish_json(second, "1.3", "--patches", "2")
        self.assertEqual([p["from"] for p in made["patches"]], ["1.0", "1.2"])

    def test_a_patch_over_the_limit_is_skipped_and_said_so(self):
        first, second = self.builds(0.9)
        self.publish_json(first, "1.0")
        for version, extra, skipped in (("1.1", [], True), ("1.2", ["--patch-limit", "100"], False)):
            with self.subTest(extra=extra):
                text = self.ok(run("game", second, "--version", version, "--base-url",
                                   "https://x.example", "--out", self.out, "--dry-run", *extra))
                made = self.publish_json(second, version, *extra)
                if skipped:
                    [patch] = made["patches"]
                    self.assertEqual(set(patch), {"from", "skipped"})
                    self.assertRegex(patch["skipped"], r"^it would be \d+ bytes, over 50 % of "
                                     r"the full archive's \d+$")
                    self.assertIn("patch from 1.0 skipped: it would be", text.stdout)
                else:
                    self.assertEqual([p["from"] for p in made["patches"]], ["1.1", "1.0"])

    def test_orphans_are_reported_and_removed_by_the_next_writer(self):
        first, second = self.builds(0.2)
        self.publish_json(first, "1.0")
        patch = self.publish_json(second, "1.1")["patches"][0]["sha256"] + ".patch.zip"
        builds = os.path.join(self.out, "builds")
        # What a publish killed between its patches and its index leaves, and a
        # file the tool never writes.
        strays = {"f" * 64 + ".patch.zip": b"part", "e" * 64 + ".index": b"x", "notes.txt": b"n"}
        for name, payload in strays.items():
            with open(os.path.join(builds, name), "wb") as f:
                f.write(payload)
        status = json.loads(self.ok(run("status", self.out, "--json")).stdout)["folder"]
        self.assertEqual((status["orphans"], status["unknown"]),
                         (["e" * 64 + ".index", "f" * 64 + ".patch.zip"], ["notes.txt"]))
        order = json.loads(self.ok(run("upload-order", self.out, "--json")).stdout)
        self.assertNotIn("builds/notes.txt", order["1. the builds, their patches and indexes"])
        self.assertEqual(len(order["3. then"]["not uploaded"]), 3)
        swept = json.loads(self.ok(run("rollback", self.out, "--version", "1.0", "--json")).stdout)
        self.assertEqual(swept["files no build needs"]["removed"],
                         ["e" * 64 + ".index", "f" * 64 + ".patch.zip"])
        self.assertEqual(sorted(n for n in os.listdir(builds) if not n.startswith("tessik-")),
                         sorted([patch, "notes.txt"] + [n for n in os.listdir(builds)
                                                        if n.endswith(".index")]))
        self.assertTrue(os.path.exists(os.path.join(builds, patch)))


class BuildFolders(Folder):
    RANDOM = os.urandom(8192)

    def tree(self, name):
        root = os.path.join(self.out, name)
        files = {"tessik.exe": open(data("game_standin.exe"), "rb").read(),
                 "packs/random.bin": self.RANDOM, "docs/readme.txt": b"words " * 800,
                 "Z.txt": b"z", "a.txt": b"a"}
        for path, payload in files.items():
            os.makedirs(os.path.dirname(os.path.join(root, path)), exist_ok=True)
            with open(os.path.join(root, path), "wb") as f:
                f.write(payload)
        os.makedirs(os.path.join(root, "saves", "empty"))
        return root

    def test_a_build_folder_is_published_as_the_same_zip_every_time(self):
        digests = set()
        for n in range(2):
            out = os.path.join(self.out, f"root{n}")
            result = run("game", self.tree(f"tree{n}"), "--version", "1.0", "--base-url",
                         "https://x.example", "--out", out, "--json")
            self.assertEqual(result.returncode, 0, result.stderr)
            digests.add(json.loads(result.stdout)["game"]["sha256"])
        self.assertEqual(len(digests), 1)
        [build] = [n for n in os.listdir(os.path.join(out, "builds")) if n.startswith("tessik-")]
        with zipfile.ZipFile(os.path.join(out, "builds", build)) as z:
            infos = z.infolist()
            self.assertEqual([i.filename for i in infos],
                             ["Z.txt", "a.txt", "docs/readme.txt", "packs/random.bin",
                              "saves/empty/", "tessik.exe"])
            methods = {i.filename: i.compress_type for i in infos}
            self.assertEqual((methods["packs/random.bin"], methods["docs/readme.txt"]),
                             (zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED))
            for info in infos:
                self.assertEqual((info.date_time, info.extra, info.flag_bits & 0x808),
                                 ((1980, 1, 1, 0, 0, 0), b"", 0x800))

    def test_a_build_folder_with_a_link_or_a_special_file_is_refused(self):
        for name, make, why in (("link", lambda p: os.symlink("tessik.exe", p), "is a link"),
                                ("pipe", os.mkfifo, "is neither a file nor a folder")):
            with self.subTest(entry=name):
                root = self.tree("tree-" + name)
                make(os.path.join(root, "docs", name))
                target = os.path.join(self.out, "root-" + name)
                result = run("game", root, "--version", "1", "--base-url", "https://x.example",
                             "--out", target)
                self.assertEqual(result.returncode, 1)
                self.assertIn(f'The build folder\'s entry "docs/{name}" {why}', result.stderr)
                self.assertFalse(os.path.exists(target))


class Writers(Folder):
    """One writer at a time, and what a killed one leaves."""

    def big_zip(self):
        big = os.path.join(self.out, "big.zip")
        if not os.path.exists(big):
            game_zip(big, ("assets/pack.bin", os.urandom(64 << 20)), method=zipfile.ZIP_STORED)
        return big

    def start(self, archive, version, root):
        child = subprocess.Popen([TOOL, "game", archive, "--version", version, "--base-url",
                                  "https://x.example", "--out", root],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.addCleanup(lambda: child.poll() is None and child.kill())
        return child

    def test_a_second_writer_is_refused_while_the_first_publishes(self):
        root = os.path.join(self.out, "root")
        self.ok(run("game", data("good.zip"), "--version", "1.0", "--base-url",
                    "https://x.example", "--out", root))
        first = self.start(self.big_zip(), "1.1", root)
        wait_for(lambda: lock_is_held(root), "the first writer's lock")
        for args in (["game", data("folders.zip"), "--version", "1.2", "--base-url",
                      "https://x.example", "--out", root],
                     ["rollback", root, "--version", "1.0"], ["prune", root, "--keep", "0"]):
            with self.subTest(command=args[0]):
                second = run(*args)
                self.assertEqual(second.returncode, 1)
                self.assertRegex(second.stderr, r"is being written by tessik-publish process "
                                 rf"{first.pid} \(started .*\); run this again when it has finished")
        dry = run("game", data("folders.zip"), "--version", "1.2", "--base-url",
                  "https://x.example", "--out", root, "--dry-run")
        self.assertIn("another run is writing into", dry.stderr)
        self.assertEqual(first.wait(), 0, first.stderr)
        self.assertEqual(manifest(root)["version"], "1.1")

    def test_a_killed_publish_leaves_the_live_release_and_its_copy_is_cleared(self):
        root = os.path.join(self.out, "root")
        self.ok(run("game", data("good.zip"), "--version", "1.0", "--base-url",
                    "https://x.example", "--out", root))
        before = manifest(root)
        child = self.start(self.big_zip(), "1.1", root)
        incoming = os.path.join(root, ".incoming")
        wait_for(lambda: os.path.isdir(incoming) and any(
            os.path.getsize(os.path.join(incoming, n)) > 0 for n in os.listdir(incoming)),
            "the partial copy")
        child.send_signal(signal.SIGKILL)
        child.wait()
        self.assertEqual(manifest(root), before)
        status = json.loads(self.ok(run("status", root, "--json")).stdout)
        self.assertRegex(status["folder"]["incoming"],
                         r"^partial copies of killed runs: 1 files, [1-9]\d* bytes")
        self.assertEqual(status["folder"]["lock"], "free")
        self.ok(run("game", data("folders.zip"), "--version", "1.2", "--base-url",
                    "https://x.example", "--out", root))
        self.assertFalse(os.path.exists(incoming))
        self.assertEqual(manifest(root)["version"], "1.2")

    def test_a_build_no_manifest_named_is_removed_and_its_version_published_again(self):
        builds = os.path.join(self.out, "builds")
        self.ok(self.publish("good.zip", "1.0.6"))
        kept = {}
        for name in (GAME_MANIFEST, RECORD):
            with open(os.path.join(self.out, name), "rb") as f:
                kept[name] = f.read()
        before = set(os.listdir(builds))
        broken = game_zip(os.path.join(self.out, "broken.zip"), ("data.txt", b"broken"))
        fixed = game_zip(os.path.join(self.out, "fixed.zip"), ("data.txt", b"fixed"))
        self.ok(run("game", broken, "--version", "1.0.7", "--base-url", "https://x.example",
                    "--out", self.out))
        # What a publish killed after its build was renamed into place leaves:
        # the build with its index and patch, the manifest and record as they were.
        for name, content in kept.items():
            with open(os.path.join(self.out, name), "wb") as f:
                f.write(content)
        left = set(os.listdir(builds)) - before
        leftover = f"tessik-1.0.7-{sha256(broken)}.zip"
        self.assertIn(leftover, left)
        self.assertTrue([n for n in left if n.endswith(".index")])
        status = json.loads(self.ok(run("status", self.out, "--json")).stdout)["folder"]
        self.assertEqual(status["unfinished"], [leftover])
        self.ok(run("game", fixed, "--version", "1.0.7", "--base-url", "https://x.example",
                    "--out", self.out, "--dry-run"))
        result = self.ok(run("game", fixed, "--version", "1.0.7", "--base-url",
                             "https://x.example", "--out", self.out))
        self.assertIn(f"removed builds/{leftover}, left by a publish that did not finish",
                      result.stderr)
        self.assertEqual(manifest(self.out)["sha256"], sha256(fixed))
        self.assertEqual(left & set(os.listdir(builds)), set(), "its index and patch go too")
        # Now named, the version is published: other bytes are refused again.
        again = run("game", broken, "--version", "1.0.7", "--base-url", "https://x.example",
                    "--out", self.out)
        self.assertIn("Version 1.0.7 is already published with other bytes", again.stderr)

    def test_every_build_of_a_folder_from_before_the_record_counts_as_published(self):
        builds = os.path.join(self.out, "builds")
        self.ok(self.publish("good.zip", "1.0"))
        os.remove(os.path.join(self.out, RECORD))
        # A build no manifest names, from before the record: it may be hosted.
        stray = game_zip(os.path.join(self.out, "stray.zip"), ("data.txt", b"stray"))
        shutil.copy(stray, os.path.join(builds, f"tessik-1.1-{sha256(stray)}.zip"))
        refused = self.publish("folders.zip", "1.1")
        self.assertIn("Version 1.1 is already published with other bytes", refused.stderr)
        # Once the record is kept, only a build that arrives unnamed is a leftover.
        left = game_zip(os.path.join(self.out, "left.zip"), ("data.txt", b"left"))
        shutil.copy(left, os.path.join(builds, f"tessik-1.2-{sha256(left)}.zip"))
        swept = self.ok(run("rollback", self.out, "--version", "1.0"))
        self.assertIn(f"removed builds/tessik-1.2-{sha256(left)}.zip", swept.stderr)
        self.assertEqual(sorted(n for n in os.listdir(builds) if n.startswith("tessik-")),
                         [f"tessik-1.0-{sha256(data('good.zip'))}.zip",
                          f"tessik-1.1-{sha256(stray)}.zip"])
        self.assertEqual(self.publish("folders.zip", "1.1").returncode, 1)

    def test_prune_removes_nothing_while_a_manifest_cannot_be_read(self):
        for archive, version in (("good.zip", "1.0"), ("folders.zip", "1.1")):
            self.ok(self.publish(archive, version))
        builds = sorted(os.listdir(os.path.join(self.out, "builds")))
        for broken in ('{"version":', "[]"):
            with self.subTest(manifest=broken):
                with open(os.path.join(self.out, LAUNCHER_MANIFEST), "w") as f:
                    f.write(broken)
                refused = run("prune", self.out, "--keep", "0")
                self.assertEqual(refused.returncode, 1)
                self.assertIn("The launcher manifest", refused.stderr)
                self.assertIn("cannot be read", refused.stderr)
                self.assertEqual(sorted(os.listdir(os.path.join(self.out, "builds"))), builds)
                self.assertEqual(run("status", self.out).returncode, 1)
        for missing in ("status", "prune"):
            with self.subTest(missing=missing):
                gone = os.path.join(self.out, "no-such-folder")
                result = run(missing, gone, *(["--keep", "1"] if missing == "prune" else []))
                self.assertEqual(result.returncode, 1)
                self.assertIn(f"The release folder {gone} does not exist", result.stderr)

    def test_status_refuses_a_url_whose_file_name_holds_a_control_character(self):
        self.ok(self.publish("good.zip", "1.0"))
        live = manifest(self.out)
        with open(os.path.join(self.out, GAME_MANIFEST), "w") as f:
            json.dump(dict(live, url=live["url"] + "%00.txt"), f)
        result = run("status", self.out, "--json")
        self.assertEqual(result.returncode, 1)
        self.assertEqual(json.loads(result.stdout)["game"]["state"], "url holds a control character")


class Signing(Folder):
    def test_manifests_carry_the_signing_keys_signature_and_status_checks_it(self):
        keys = {}
        for name in ("studio", "other"):
            key = os.path.join(self.out, name + ".key")
            subprocess.run(["openssl", "ecparam", "-name", "prime256v1", "-genkey", "-noout",
                            "-out", key], check=True)
            subprocess.run(["openssl", "ec", "-in", key, "-pubout", "-out", key + ".pem"],
                           check=True, capture_output=True)
            keys[name] = key
        release = os.path.join(self.out, "release-root")
        publish = lambda version, *key: run("game", data("good.zip"), "--version", version,
                                            "--base-url", "https://cdn.example.com",
                                            "--out", release, *key)
        signed = json.loads(self.ok(publish("1.0", "--signing-key", keys["studio"], "--json")).stdout)
        self.assertEqual(signed["game"]["signature"], "made with the signing key")
        self.assertRegex(manifest(release)["signature"], r"^[0-9a-f]{128}$")
        status = lambda key: run("status", release, "--public-key", key + ".pem", "--json")
        self.assertEqual(json.loads(self.ok(status(keys["studio"])).stdout)["game"]["signature"],
                         "verified by the key")
        self.assertEqual(status(keys["other"]).returncode, 1)

        # A public key cannot sign: refused, and the signed release stays live.
        builds = sorted(os.listdir(os.path.join(release, "builds")))
        self.assertEqual(publish("1.1", "--signing-key", keys["studio"] + ".pem").returncode, 1)
        self.assertEqual(manifest(release)["version"], "1.0")
        self.assertEqual(sorted(os.listdir(os.path.join(release, "builds"))), builds,
                         "nothing of the refused build was placed")
        # Without the key, a signed release is not replaced by an unsigned
        # manifest unless forced, for any writing command.
        for args in (("rollback", release, "--version", "1.0"),
                     ("game", data("folders.zip"), "--version", "1.2", "--base-url",
                      "https://cdn.example.com", "--out", release)):
            with self.subTest(command=args[0]):
                refused = run(*args)
                self.assertEqual(refused.returncode, 1)
                self.assertIn("The live manifest is signed and this one would not be",
                              refused.stderr)
                self.assertEqual(manifest(release)["version"], "1.0")
        forced = self.ok(run("rollback", release, "--version", "1.0", "--force", "--json"))
        self.assertEqual(json.loads(forced.stdout)["game"]["signature"], "none")
        self.assertNotIn("signature", manifest(release))
        self.assertEqual(status(keys["studio"]).returncode, 1)

    def test_a_launcher_is_published_only_with_the_key_it_carries(self):
        launcher = lambda *more: run("launcher", KEYED_LAUNCHER, "--base-url",
                                     "https://updates.example.com", "--out", self.out, *more)
        other = launcher("--signing-key", os.path.join(KEYS, "other.key"))
        self.assertEqual(other.returncode, 1)
        self.assertIn("The launcher carries another release key than the signing key's",
                      other.stderr)
        self.assertIn("The launcher carries a release key, so it refuses unsigned manifests",
                      launcher().stderr)
        keyless = run("launcher", data("launcher-0.1.190.exe"), "--base-url",
                      "https://updates.example.com", "--out", self.out,
                      "--signing-key", os.path.join(KEYS, "release.key"))
        self.assertIn("The launcher carries no release key", keyless.stderr)
        self.assertEqual(os.listdir(self.out), [".lock"], "a refused launcher wrote something")
        self.ok(launcher("--signing-key", os.path.join(KEYS, "release.key")))
        self.assertRegex(manifest(self.out, LAUNCHER_MANIFEST)["signature"], r"^[0-9a-f]{128}$")


    def test_signed_manifests_move_forward_and_status_warns_before_they_expire(self):
        key = os.path.join(self.out, "studio.key")
        subprocess.run(["openssl", "ecparam", "-name", "prime256v1", "-genkey", "-noout",
                        "-out", key], check=True)
        release = os.path.join(self.out, "release-root")
        publish = lambda version, *extra: run("game", data("good.zip"), "--version", version,
                                              "--base-url", "https://cdn.example.com",
                                              "--out", release, *extra)
        sequence = lambda: int(manifest(release)["sequence"])
        started = int(time.time())
        self.ok(publish("1.0", "--signing-key", key))
        first = sequence()
        self.assertGreaterEqual(first, started)
        self.assertNotIn("expires", manifest(release))
        self.ok(publish("1.1", "--signing-key", key, "--expires-in", "30"))
        self.assertGreater(sequence(), first)
        status = json.loads(self.ok(run("status", release, "--json")).stdout)["game"]
        self.assertEqual(status["sequence"], str(sequence()))
        self.assertRegex(status["expires"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$")
        # A live sequence ahead of the clock (a tree restored elsewhere) still rises.
        live = os.path.join(release, GAME_MANIFEST)
        text = open(live).read().replace('"sequence":"%d"' % sequence(), '"sequence":"99999999999"')
        with open(live, "w") as f:
            f.write(text)
        self.ok(run("rollback", release, "--version", "1.0", "--signing-key", key))
        self.assertEqual(sequence(), 100000000000)
        # Re-signed for one day only: status fails from now on.
        self.ok(run("promote", release, "--version", "1.1", "--signing-key", key,
                    "--expires-in", "1"))
        status = run("status", release, "--json")
        self.assertEqual(status.returncode, 1)
        self.assertEqual(json.loads(status.stdout)["game"]["state"],
                         "expires within a day; sign it again")
        for extra, sentence in ((["--expires-in", "30"], "--expires-in needs --signing-key"),
                                (["--signing-key", key, "--expires-in", "0"], "--expires-in needs a number")):
            result = publish("1.2", *extra)
            self.assertEqual(result.returncode, 2, result.stderr)
            self.assertIn(sentence, result.stderr)


class Hosting(unittest.TestCase):
    """The release folder the test bed published and nginx serves."""

    def fetch(self, path, headers=None):
        with open(os.path.join(BED, "nginx", "port")) as f:
            port = f.read().strip()
        context = ssl.create_default_context(cafile=os.path.join(BED, "certs", "ca.pem"))
        request = urllib.request.Request(f"https://localhost:{port}{path}", headers=headers or {})
        try:
            with urllib.request.urlopen(request, context=context) as reply:
                return reply.status, reply.headers, reply.read()
        except urllib.error.HTTPError as error:
            return error.code, error.headers, b""

    def test_manifests_are_revalidated_whole_and_only_a_found_build_is_immutable(self):
        status, headers, body = self.fetch("/" + GAME_MANIFEST, {
            "If-Modified-Since": "Fri, 01 Jan 2100 00:00:00 GMT"})
        self.assertEqual((status, headers.get("Cache-Control")), (200, "no-cache"))
        self.assertIsNone(headers.get("ETag"))
        path = "/" + json.loads(body)["url"].split("://", 1)[1].split("/", 1)[1]
        status, headers, archive = self.fetch(path)
        self.assertEqual((status, headers.get("Cache-Control")),
                         (200, "public, max-age=31536000, immutable"))
        with open(data("good.zip"), "rb") as f:
            self.assertEqual(archive, f.read())
        index = "/builds/" + json.loads(body)["build_index"] + ".index"
        status, index_headers, _ = self.fetch(path[:path.rfind("/builds/")] + index)
        self.assertEqual((status, index_headers.get("Cache-Control")),
                         (200, "public, max-age=31536000, immutable"), "the build's index")
        # A resume: the rest of the build under the same strong validator.
        tag = headers.get("ETag")
        self.assertTrue(tag and not tag.startswith("W/"), tag)
        status, part_headers, part = self.fetch(path, {"Range": "bytes=100-", "If-Range": tag})
        self.assertEqual((status, part, part_headers.get("Content-Range")),
                         (206, archive[100:], f"bytes 100-{len(archive) - 1}/{len(archive)}"))
        self.assertEqual(part_headers.get("Cache-Control"), "public, max-age=31536000, immutable")
        self.assertEqual(self.fetch(path, {"Range": "bytes=100-", "If-Range": '"other"'})[0], 200)
        missing = path.replace(path[-68:-4], "0" * 64)
        self.assertEqual(self.fetch(missing)[:2][0], 404)
        self.assertEqual(self.fetch(missing)[1].get("Cache-Control"), "no-store")
        # A CDN revalidating its copy, or a download resumed, keeps the build cached.
        for request, answer in (({"If-None-Match": headers.get("ETag")}, 304),
                                ({"Range": "bytes=0-9"}, 206)):
            with self.subTest(answer=answer):
                status, again, _ = self.fetch(path, request)
                self.assertEqual((status, again.get("Cache-Control")),
                                 (answer, "public, max-age=31536000, immutable"))

    def test_status_url_checks_the_release_as_launchers_fetch_it(self):
        with open(os.path.join(BED, "nginx", "port")) as f:
            base = f"https://localhost:{f.read().strip()}"
        ca = os.path.join(BED, "certs", "ca.pem")
        served = run("status", os.path.join(BED, "release"), "--url", base, "--ca-file", ca,
                     "--json")
        self.assertEqual(served.returncode, 0, served.stdout + served.stderr)
        game = json.loads(served.stdout)["game"]
        self.assertEqual((game["state"], game["build"], game["build cache"], game["index"]),
                         ("ok", 200, "public, max-age=31536000, immutable", "ok"))
        with open(data("good.zip"), "rb") as f:
            self.assertEqual(game["size"], len(f.read()))
        # The index answering 404 is a release whose players all download whole builds.
        index = os.path.join(BED, "release", "builds",
                             manifest(os.path.join(BED, "release"))["build_index"] + ".index")
        os.rename(index, index + ".away")
        try:
            missing = run("status", "--url", base, "--ca-file", ca, "--json")
        finally:
            os.rename(index + ".away", index)
        self.assertEqual(missing.returncode, 1)
        self.assertEqual(json.loads(missing.stdout)["game"]["state"], "index answers 404")
        for args, why in ((["--url", base + "/nothing-here"], "no manifest is published"),
                          ([os.path.join(BED, "signed-by-other"), "--url", base],
                           "manifest served is not the one in"),
                          (["--url", base], "certificate")):
            with self.subTest(args=args):
                result = run("status", *args, *(["--ca-file", ca] if why != "certificate" else []))
                self.assertEqual(result.returncode, 1)
                self.assertIn(why, result.stdout + result.stderr)

    def test_nothing_but_manifests_and_builds_is_served(self):
        root = os.path.join(BED, "release")
        for name in ("release/.manifest.json.swp", "release/windows-x86_64-manifest.json~",
                     "builds/.hidden.zip", ".incoming/1-2.part", ".lock", RECORD):
            os.makedirs(os.path.dirname(os.path.join(root, name)), exist_ok=True)
            with open(os.path.join(root, name), "w") as f:
                f.write("x")
            self.addCleanup(os.remove, os.path.join(root, name))
        for path in ("/", "/builds/", "/release/", "/release/.manifest.json.swp",
                     "/release/windows-x86_64-manifest.json~", "/builds/.hidden.zip",
                     "/.incoming/1-2.part", "/.lock", "/" + RECORD, "/nginx.conf",
                     "/../certs/ca.key",
                     "/builds/" + "0" * 64 + ".patch.zip", "/builds/x.index"):
            with self.subTest(path=path):
                status, headers, _ = self.fetch(path)
                self.assertIn(status, (400, 404))
                self.assertNotIn("immutable", headers.get("Cache-Control", ""))


if __name__ == "__main__":
    TOOL, BED, KEYS, KEYED_LAUNCHER = sys.argv[1:5]
    unittest.main(argv=[sys.argv[0], "-v", *sys.argv[5:]])
