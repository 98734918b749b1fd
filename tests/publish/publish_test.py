#!/usr/bin/env python3
"""The release tool: what it refuses (with its sentence, writing nothing),
what it publishes and how it looks after a release folder, and how nginx
serves that folder.

Usage: publish_test.py <tessik-publish> <test bed folder>
"""
import json
import os
import shutil
import ssl
import subprocess
import sys
import tempfile
import unittest
import urllib.request
import zipfile

TOOL = ""
BED = ""
LAUNCHER_MANIFEST = "release/windows-launcher-x86_64-manifest.json"
GAME_MANIFEST = "release/windows-x86_64-manifest.json"


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
            "lying-central.zip": unsafe + ': "../evil.txt"',
            "nested-exe.zip": missing, "capital-exe.zip": missing, "crlf-names.zip": missing,
            "damaged.zip": "The archive is damaged", "truncated.zip": "The archive is damaged",
            "no-central-directory.zip": "The archive is damaged",
            "bad-crc.zip": 'The archive is damaged at the entry "assets/pack.bin" (ZIP bad CRC',
            "symlink.zip": 'The archive entry "assets/link" is a link',
            "link-inside.zip": 'The archive entry "assets/alias" is a link',
            "two-executables.zip": 'The archive entry "tessik.exe" appears twice',
            "empty-exe.zip": 'The archive entry "tessik.exe" is empty',
            "text-exe.zip": 'The archive entry "tessik.exe" is not a Windows program',
            "dll-executable.zip": 'The archive entry "tessik.exe" is not a Windows program',
            "abc.bin": "The archive cannot be read as a zip file",
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

    def test_launchers_that_are_not_the_launcher_or_not_for_this_host(self):
        self.refuse(["launcher", data("game_standin.exe")],
                    "The executable's original file name is not TESSIK-Launcher-Windows-x64.exe")
        self.refuse(["launcher", data("good.zip")], "The file is not a Windows executable")
        self.refuse(["launcher", data("launcher-0.1.190.exe")],
                    "The launcher was built for the update host updates.example.com, but the "
                    "base URL is on u.example", base="https://u.example")

    def test_command_line_errors_say_what_is_wrong(self):
        self.assertIn("tessik-publish game ARCHIVE", run("--help").stdout)
        self.assertRegex(run("--version").stdout, r"^tessik-publish \d+\.\d+\.\d+\n$")
        for args, said in ((["game", data("good.zip")], "game needs --version"),
                           (["launcher", "x.exe", "--out", "o"], "launcher needs --base-url"),
                           (["prune", "d", "--keep", "many"], "--keep needs a whole number, such as 3"),
                           (["status", "d", "--keep", "1"], "status has no option --keep"),
                           (["publish"], 'unknown command "publish"'), ([], "no command given")):
            with self.subTest(args=args):
                result = run(*args)
                self.assertEqual(result.returncode, 2)
                self.assertEqual(result.stderr,
                                 f"tessik-publish: {said} (see tessik-publish --help)\n")


class Publishing(Folder):
    def test_game_is_content_addressed_and_every_path_element_is_encoded(self):
        for archive, version, encoded in (("good.zip", "2.1.0", "2.1.0"),
                                          ("non-ascii-names.zip", "1.0#x%41", "1.0%23x%2541")):
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
                    "sha256": digest, "executable": "tessik.exe"})
                with open(os.path.join(self.out, "builds", f"tessik-{version}-{digest}.zip"),
                          "rb") as a, open(data(archive), "rb") as b:
                    self.assertEqual(a.read(), b.read())
        self.assertEqual(sorted(os.listdir(self.out)), ["builds", "release"],
                         "no temporary file remains")

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
        result = self.ok(run("launcher", next_launcher, "--base-url", "https://localhost:8443",
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

    def test_dry_run_checks_and_writes_nothing(self):
        target = os.path.join(self.out, "root")
        result = run("game", data("good.zip"), "--version", "1", "--base-url", "https://x.example",
                     "--out", target, "--dry-run", "--json")
        self.assertEqual(json.loads(result.stdout)["game"]["sha256"], sha256(data("good.zip")))
        self.assertFalse(os.path.exists(target))
        self.assertEqual(run("game", data("bad-crc.zip"), "--version", "1", "--base-url",
                             "https://x.example", "--out", target, "--dry-run").returncode, 1)

    def test_memory_stays_flat_for_a_large_archive(self):
        big = os.path.join(self.out, "big.zip")
        with zipfile.ZipFile(big, "w", zipfile.ZIP_STORED) as z:
            with open(data("game_standin.exe"), "rb") as f:
                z.writestr("tessik.exe", f.read())
            with z.open("assets/pack.bin", "w") as pack:  # this process stays small
                for _ in range(96):
                    pack.write(os.urandom(1 << 20))
        child = subprocess.Popen([TOOL, "game", big, "--version", "1", "--base-url",
                                  "https://x.example", "--out", os.path.join(self.out, "r")],
                                 stdout=subprocess.DEVNULL)
        _, status, usage = os.wait4(child.pid, 0)
        self.assertEqual(os.waitstatus_to_exitcode(status), 0)
        self.assertLess(usage.ru_maxrss, 32 << 10, "peak resident KiB for a 96 MiB archive")


class Keeping(Folder):
    def test_status_rollback_and_prune(self):
        for archive, version in (("good.zip", "1.0"), ("folders.zip", "1.1"), ("big.zip", "1.2")):
            self.ok(self.publish(archive, version))
        status = json.loads(self.ok(run("status", self.out, "--json")).stdout)
        self.assertEqual((status["game"]["version"], status["game"]["state"]), ("1.2", "ok"))
        self.assertRegex(status["game"]["patch from 1.1"], "^[0-9]+ bytes, ok$")
        self.assertRegex(status["game"]["patch from 1.0"], "^[0-9]+ bytes, ok$")
        self.assertEqual(status["launcher"]["state"], "not published")

        self.ok(run("rollback", self.out, "--version", "1.0"))
        self.assertEqual(manifest(self.out)["url"], "https://cdn.example.com/tessik/builds/"
                         f"tessik-1.0-{sha256(data('good.zip'))}.zip")
        self.assertEqual(run("promote", self.out, "--version", "3.0").returncode, 1)

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
        self.assertEqual(publish("1.1", "--signing-key", keys["studio"] + ".pem").returncode, 1)
        self.assertEqual(manifest(release)["version"], "1.0")
        # Re-pointing without the key leaves an unsigned manifest, and says so.
        self.assertEqual(json.loads(self.ok(run("rollback", release, "--version", "1.0",
                                                "--json")).stdout)["game"]["signature"], "none")
        self.assertNotIn("signature", manifest(release))
        self.assertEqual(status(keys["studio"]).returncode, 1)


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
        status, headers, _ = self.fetch(path[:path.rfind("/builds/")] + index)
        self.assertEqual((status, headers.get("Cache-Control")),
                         (200, "public, max-age=31536000, immutable"), "the build's index")
        missing = path.replace(path[-68:-4], "0" * 64)
        self.assertEqual(self.fetch(missing)[:2][0], 404)
        self.assertEqual(self.fetch(missing)[1].get("Cache-Control"), "no-store")

    def test_nothing_but_manifests_and_builds_is_served(self):
        root = os.path.join(BED, "release")
        for name in ("release/.manifest.json.swp", "release/windows-x86_64-manifest.json~",
                     "builds/.hidden.zip", ".incoming/1-2.part"):
            os.makedirs(os.path.dirname(os.path.join(root, name)), exist_ok=True)
            with open(os.path.join(root, name), "w") as f:
                f.write("x")
            self.addCleanup(os.remove, os.path.join(root, name))
        for path in ("/", "/builds/", "/release/", "/release/.manifest.json.swp",
                     "/release/windows-x86_64-manifest.json~", "/builds/.hidden.zip",
                     "/.incoming/1-2.part", "/nginx.conf", "/../certs/ca.key",
                     "/builds/" + "0" * 64 + ".patch.zip", "/builds/x.index"):
            with self.subTest(path=path):
                status, headers, _ = self.fetch(path)
                self.assertIn(status, (400, 404))
                self.assertNotIn("immutable", headers.get("Cache-Control", ""))


if __name__ == "__main__":
    TOOL, BED = sys.argv[1], sys.argv[2]
    unittest.main(argv=[sys.argv[0], "-v"])
