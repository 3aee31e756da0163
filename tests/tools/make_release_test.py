#!/usr/bin/env python3
"""The publisher's release tool: what it writes, and what it refuses."""

import datetime
import os
import subprocess
import sys
import tempfile
import unittest
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
TOOL = os.path.join(HERE, "..", "..", "tools", "release", "make_release.py")
BASE = "https://releases.example.com"
sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools", "release"))
from manifest_rules import read_expires  # noqa: E402


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def make_app(folder, files=None):
    files = files if files is not None else {"TavrinAI.exe": b"MZ app", "app_icon.ico": b"icon"}
    for name, data in files.items():
        write(os.path.join(folder, name), data)
    return folder


def run(*args):
    return subprocess.run([sys.executable, TOOL, *args], capture_output=True, text=True)


class ReleaseToolTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.root = self.tmp.name
        self.out = os.path.join(self.root, "out")

    def tearDown(self):
        self.tmp.cleanup()

    def test_writes_manifest_payload_and_models(self):
        app = make_app(os.path.join(self.root, "app"), {
            "TavrinAI.exe": b"MZ app", "run_tavrin.bat": b"@start TavrinAI.exe\r\n",
            "app_icon.ico": b"icon", "lib/한글.dat": b"data"})
        models = os.path.join(self.root, "models")
        for name in ["scrfd_10g_bnkps.onnx", "glintr100.onnx", "genderage.onnx", "1k3d68.onnx", "2d106det.onnx"]:
            write(os.path.join(models, name), name.encode())
        result = run("--app", app, "--version", "2.4.1", "--base", BASE + "/", "--out", self.out, "--models", models)
        self.assertEqual(result.returncode, 0, result.stderr)

        with open(os.path.join(self.out, "dist", "latest.json"), "rb") as f:
            manifest = f.read()
        self.assertNotIn(b"\\", manifest)
        self.assertIn(b'"url": "https://releases.example.com/dist/TavrinStudio-2.4.1.zip"', manifest)
        self.assertIn(b'"version": "2.4.1"', manifest)

        payload = os.path.join(self.out, "dist", "TavrinStudio-2.4.1.zip")
        with zipfile.ZipFile(payload) as archive:
            names = archive.namelist()
            self.assertEqual({n.split("/")[0] for n in names}, {"TavrinStudio"})
            self.assertEqual(archive.read("TavrinStudio/version.txt"), b"2.4.1\r\n")
            self.assertEqual(names[-1], "TavrinStudio/version.txt", "the version file is not the last entry")
            self.assertEqual(archive.read("TavrinStudio/lib/한글.dat"), b"data")
        import hashlib
        with open(payload, "rb") as f:
            self.assertIn(('"sha256": "%s"' % hashlib.sha256(f.read()).hexdigest()).encode(), manifest)
        self.assertEqual(sorted(os.listdir(os.path.join(self.out, "models", "auraface"))),
                         sorted(["scrfd_10g_bnkps.onnx", "glintr100.onnx", "genderage.onnx", "1k3d68.onnx", "2d106det.onnx"]))

    def test_keeps_a_matching_version_file(self):
        app = make_app(os.path.join(self.root, "app"), {
            "run_tavrin.bat": b"x", "app_icon.ico": b"i", "version.txt": b"3.0.0 build 7\n", "zz/last.dat": b"z"})
        self.assertEqual(run("--app", app, "--version", "3.0.0", "--base", BASE, "--out", self.out).returncode, 0)
        with zipfile.ZipFile(os.path.join(self.out, "dist", "TavrinStudio-3.0.0.zip")) as archive:
            self.assertEqual(archive.read("TavrinStudio/version.txt"), b"3.0.0 build 7\n")
            # tar extracts in order: a cut extraction leaves no folder that claims the release.
            self.assertEqual(archive.namelist()[-1], "TavrinStudio/version.txt")

    def test_refusals(self):
        ok_files = {"TavrinAI.exe": b"MZ", "app_icon.ico": b"i"}
        cases = [
            ("empty version", ok_files, ["--version", ""], "empty"),
            ("version of 32 units", ok_files, ["--version", "1" * 32], "longer"),
            ("version with a space", ok_files, ["--version", "2.4 beta"], "space"),
            ("version with a quote", ok_files, ["--version", '2.4"'], "quote"),
            ("version with a backslash", ok_files, ["--version", "2.4\\1"], "backslash"),
            ("url too long", ok_files, ["--version", "1.0", "--payload-url", "https://h/" + "a" * 2038], "longer"),
            ("url with a quote", ok_files, ["--version", "1.0", "--payload-url", 'https://h/a"b.zip'], "quote"),
            ("url with a backslash", ok_files, ["--version", "1.0", "--payload-url", "https://h/a\\b.zip"], "backslash"),
            ("version file mismatch", dict(ok_files, **{"version.txt": b"0.9\n"}), ["--version", "1.0"], "version.txt"),
            ("version file with a BOM", dict(ok_files, **{"version.txt": b"\xef\xbb\xbf1.0\n"}), ["--version", "1.0"], "byte-order"),
            ("no program", {"app_icon.ico": b"i"}, ["--version", "1.0"], "TavrinAI.exe"),
            ("no icon", {"TavrinAI.exe": b"MZ"}, ["--version", "1.0"], "app_icon.ico"),
            ("nested app folder", {"TavrinStudio/TavrinAI.exe": b"MZ", "TavrinStudio/app_icon.ico": b"i"},
             ["--version", "1.0"], "nest"),
        ]
        for name, files, args, message in cases:
            with self.subTest(name):
                app = make_app(tempfile.mkdtemp(dir=self.root), files)
                out = tempfile.mkdtemp(dir=self.root)
                result = run("--app", app, "--base", BASE, "--out", out, *args)
                self.assertEqual(result.returncode, 2, result.stderr)
                self.assertIn("refused", result.stderr)
                self.assertIn(message, result.stderr)
                self.assertFalse(os.path.exists(os.path.join(out, "dist", "latest.json")))

    def test_refuses_a_link_out_of_the_app_folder(self):
        app = make_app(os.path.join(self.root, "app"))
        os.symlink("/etc/hostname", os.path.join(app, "leak.txt"))
        result = run("--app", app, "--version", "1.0", "--base", BASE, "--out", self.out)
        self.assertEqual(result.returncode, 2)
        self.assertIn("outside", result.stderr)

    def make_models(self):
        models = os.path.join(self.root, "models")
        for name in MODEL_NAMES:
            write(os.path.join(models, name), name.encode())
        return models

    def test_model_digests_and_a_signed_manifest(self):
        key = os.path.join(self.root, "key.pem")
        password = os.path.join(self.root, "password")
        write(password, b"manifest key password\n")
        subprocess.run(f"openssl ecparam -name prime256v1 -genkey -noout | openssl ec -aes256 -passout file:{password}"
                       f" -out {key}", shell=True, check=True, capture_output=True)
        public = key + ".pub"
        subprocess.run(["openssl", "ec", "-in", key, "-passin", f"file:{password}", "-pubout", "-out", public],
                       check=True, capture_output=True)
        result = run("--app", make_app(os.path.join(self.root, "app")), "--version", "2.4.1", "--base", BASE,
                     "--out", self.out, "--models", self.make_models(), "--manifest-key", key,
                     "--manifest-key-password-file", password)
        self.assertEqual(result.returncode, 0, result.stderr)
        manifest_path = os.path.join(self.out, "dist", "latest.json")
        with open(manifest_path, "rb") as f:
            manifest = f.read()
        # SHA-256 of the text "glintr100.onnx", the stand-in model's whole content.
        self.assertIn(b'"digest:glintr100.onnx": "fc2a966e1fc17c754eb92e3eef1924a4e1579440eae4d35e194f176ebcb46a84"',
                      manifest)
        # The sizes and the expiry are signed with the rest.
        self.assertIn(b'"size:glintr100.onnx": "14"', manifest)
        payload = os.path.join(self.out, "dist", "TavrinStudio-2.4.1.zip")
        self.assertIn(b'"size": "%d"' % os.path.getsize(payload), manifest)
        with open(manifest_path + ".sig", "rb") as f:
            raw = f.read()
        self.assertEqual(len(raw), 64)
        self.assertTrue(verifies(public, manifest, raw))
        self.assertFalse(verifies(public, manifest.replace(b"2.4.1", b"2.4.2", 1), raw))

    def test_expiry(self):
        """expires is UTC, the given number of days after the release is made (30 by default)."""
        app = make_app(os.path.join(self.root, "app"))
        for options, days in (([], 30), (["--expires-days", "3"], 3)):
            with self.subTest(days=days):
                before = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)
                result = run("--app", app, "--version", "2.4.1", "--base", BASE, "--out", self.out, *options)
                after = datetime.datetime.now(datetime.timezone.utc)
                self.assertEqual(result.returncode, 0, result.stderr)
                with open(os.path.join(self.out, "dist", "latest.json"), "rb") as f:
                    expires = read_expires(f.read())
                self.assertIsNotNone(expires)
                self.assertLessEqual(before + datetime.timedelta(days=days), expires)
                self.assertLessEqual(expires, after + datetime.timedelta(days=days))
        result = run("--app", app, "--version", "2.4.1", "--base", BASE, "--out", self.out, "--expires-days", "0")
        self.assertEqual(result.returncode, 2)
        self.assertIn("--expires-days", result.stderr)

    def test_manifest_key_refusals(self):
        key = os.path.join(self.root, "key.pem")
        subprocess.run(["openssl", "genpkey", "-algorithm", "ed25519", "-out", key], check=True, capture_output=True)
        app = make_app(os.path.join(self.root, "app"))
        cases = [
            # options, words of the refusal
            (["--manifest-key", key], "needs --models"),
            (["--manifest-key", key, "--models", self.make_models()], "not an ECDSA P-256 key"),
            (["--manifest-key", os.path.join(self.root, "none.pem")], "does not exist"),
            (["--manifest-key-password-file", key], "without --manifest-key"),
        ]
        for options, words in cases:
            with self.subTest(options=options):
                result = run("--app", app, "--version", "2.4.1", "--base", BASE, "--out", self.out, *options)
                self.assertEqual(result.returncode, 2, result.stderr)
                self.assertIn(words, result.stderr)
                self.assertFalse(os.path.exists(os.path.join(self.out, "dist", "latest.json.sig")))


MODEL_NAMES = ["scrfd_10g_bnkps.onnx", "glintr100.onnx", "genderage.onnx", "1k3d68.onnx", "2d106det.onnx"]


def verifies(public, data, raw):
    """openssl's verdict on the raw r||s signature, converted to DER by hand."""
    def integer(value):
        body = value.lstrip(b"\0") or b"\0"
        body = b"\0" + body if body[0] & 0x80 else body
        return b"\x02" + bytes([len(body)]) + body
    body = integer(raw[:32]) + integer(raw[32:])
    with tempfile.TemporaryDirectory() as scratch:
        write(os.path.join(scratch, "data"), data)
        write(os.path.join(scratch, "sig"), b"\x30" + bytes([len(body)]) + body)
        result = subprocess.run(["openssl", "dgst", "-sha256", "-verify", public, "-signature",
                                 os.path.join(scratch, "sig"), os.path.join(scratch, "data")], capture_output=True)
    return result.returncode == 0


if __name__ == "__main__":
    unittest.main(verbosity=2)
