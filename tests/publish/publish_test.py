#!/usr/bin/env python3
"""The release tool: what it refuses (with its sentence, writing nothing) and
what it publishes, and how nginx serves that.

Usage: publish_test.py <tessik-publish> <test bed folder>
"""
import json
import os
import ssl
import subprocess
import sys
import tempfile
import unittest
import urllib.request
import zipfile

TOOL = ""
BED = ""


def run(*args):
    return subprocess.run([TOOL, *args], capture_output=True, text=True)


def data(name):
    return os.path.join(BED, "data", name)


class Refusals(unittest.TestCase):
    def refuse(self, args, sentence):
        with tempfile.TemporaryDirectory() as out:
            target = os.path.join(out, "release-root")
            result = run(*args, "--base-url", "https://updates.example.com", "--out", target)
            self.assertEqual(result.returncode, 1, result.stderr)
            self.assertEqual(result.stderr.strip(), "tessik-publish: " + sentence)
            self.assertFalse(os.path.exists(target), "something was written")

    def test_archives_the_launcher_would_refuse(self):
        cases = {
            "parent.zip": "The update archive contains an unsafe path",
            "nested-parent.zip": "The update archive contains an unsafe path",
            "absolute.zip": "The update archive contains an unsafe path",
            "rooted-backslash.zip": "The update archive contains an unsafe path",
            "drive.zip": "The update archive contains an unsafe path",
            "drive-relative.zip": "The update archive contains an unsafe path",
            "dot.zip": "The update archive contains an unsafe path",
            "nested-exe.zip": "The update archive is missing tessik.exe",
            "capital-exe.zip": "The update archive is missing tessik.exe",
        }
        for archive, sentence in cases.items():
            with self.subTest(archive=archive):
                self.refuse(["game", data(archive), "--version", "1.0.0"], sentence)

    def test_unreadable_and_damaged_archives(self):
        for archive in ("damaged.zip", "truncated.zip", "no-such-file.zip", "abc.bin"):
            with self.subTest(archive=archive):
                with tempfile.TemporaryDirectory() as out:
                    target = os.path.join(out, "root")
                    result = run("game", data(archive), "--version", "1.0.0",
                                 "--base-url", "https://x.example", "--out", target)
                    self.assertEqual(result.returncode, 1)
                    self.assertIn(result.stderr.strip(), (
                        "tessik-publish: The archive cannot be read as a zip file",
                        "tessik-publish: The archive is damaged"))
                    self.assertFalse(os.path.exists(target))

    def test_unsafe_versions(self):
        for version in ("..", ".", "../x", "a/b", "a\\b", "C:", "CON", "nul.txt", "1.0.", "1.0 ", "a*b"):
            with self.subTest(version=version):
                self.refuse(["game", data("good.zip"), "--version", version],
                            f'The version "{version}" cannot name a build folder; '
                            "use dotted numbers such as 1.0.2")

    def test_executables_that_are_not_the_launcher(self):
        self.refuse(["launcher", data("game_standin.exe")],
                    "The executable's original file name is not TESSIK-Launcher-Windows-x64.exe")
        self.refuse(["launcher", data("good.zip")], "The file is not a Windows executable")

    def test_command_line(self):
        self.assertEqual(run("--help").returncode, 0)
        self.assertIn("tessik-publish game ARCHIVE", run("--help").stdout)
        self.assertEqual(run("game", data("good.zip")).returncode, 2)
        self.assertEqual(run("game", data("good.zip"), "--version", "1", "--base-url",
                             "http://plain.example", "--out", "/tmp/never").returncode, 1)


class Publishing(unittest.TestCase):
    def test_game_is_content_addressed_and_the_manifest_matches(self):
        with tempfile.TemporaryDirectory() as out:
            result = run("game", data("good.zip"), "--version", "2.1.0",
                         "--base-url", "https://cdn.example.com/tessik/", "--out", out)
            self.assertEqual(result.returncode, 0, result.stderr)
            with open(os.path.join(out, "release", "windows-x86_64-manifest.json")) as f:
                manifest = json.load(f)
            digest = subprocess.run(["sha256sum", data("good.zip")], capture_output=True,
                                    text=True).stdout.split()[0]
            name = f"builds/tessik-2.1.0-{digest}.zip"
            self.assertEqual(manifest, {
                "version": "2.1.0", "platform": "windows-x86_64",
                "url": "https://cdn.example.com/tessik/" + name, "sha256": digest,
                "executable": "tessik.exe"})
            with open(os.path.join(out, name), "rb") as a, open(data("good.zip"), "rb") as b:
                self.assertEqual(a.read(), b.read())
            self.assertEqual(sorted(os.listdir(os.path.join(out, "release"))),
                             ["windows-x86_64-manifest.json"], "no temporary file remains")

    def test_launcher_version_is_its_own_version_record(self):
        for version in ("0.1.190", "0.1.191"):
            with self.subTest(version=version), tempfile.TemporaryDirectory() as out:
                result = run("launcher", data(f"launcher-{version}.exe"),
                             "--base-url", "https://u.example", "--out", out)
                self.assertEqual(result.returncode, 0, result.stderr)
                with open(os.path.join(out, "release",
                                       "windows-launcher-x86_64-manifest.json")) as f:
                    manifest = json.load(f)
                self.assertEqual(manifest["version"], version)
                self.assertEqual(manifest["executable"], "TESSIK-Launcher-Windows-x64.exe")


class Hosting(unittest.TestCase):
    """The release folder the test bed published and nginx serves."""

    def fetch(self, path):
        with open(os.path.join(BED, "nginx", "port")) as f:
            port = f.read().strip()
        context = ssl.create_default_context(cafile=os.path.join(BED, "certs", "ca.pem"))
        request = urllib.request.Request(f"https://localhost:{port}{path}")
        try:
            with urllib.request.urlopen(request, context=context) as reply:
                return reply.status, dict(reply.headers), reply.read()
        except urllib.error.HTTPError as error:
            return error.code, dict(error.headers), b""

    def test_manifests_are_revalidated_and_builds_are_immutable(self):
        status, headers, body = self.fetch("/release/windows-x86_64-manifest.json")
        self.assertEqual(status, 200)
        self.assertEqual(headers.get("Cache-Control"), "no-cache")
        manifest = json.loads(body)
        path = manifest["url"].split("://", 1)[1].split("/", 1)[1]
        status, headers, archive = self.fetch("/" + path)
        self.assertEqual(status, 200)
        self.assertEqual(headers.get("Cache-Control"), "public, max-age=31536000, immutable")
        with open(data("good.zip"), "rb") as f:
            self.assertEqual(archive, f.read())

    def test_nothing_else_is_served(self):
        for path in ("/", "/builds/", "/release/", "/nginx.conf", "/../certs/ca.key"):
            with self.subTest(path=path):
                self.assertIn(self.fetch(path)[0], (400, 404))


if __name__ == "__main__":
    TOOL, BED = sys.argv[1], sys.argv[2]
    unittest.main(argv=[sys.argv[0], "-v"])
