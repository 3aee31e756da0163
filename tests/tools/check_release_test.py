#!/usr/bin/env python3
"""The release tool's check of a live release host, against the bed's release host: releases
made by the release tool are published under their own folder of the bed's www root (each is its
own base URL), one per fault, and the check must name each fault on its own line with its own
exit status. Also the manifest rules the check shares with the setup program, as a table.

Needs the test bed (TAVRIN_TESTBED, TAVRIN_TEST_HTTPS_PORT).
"""

import datetime
import hashlib
import io
import json
import os
import pty
import secrets
import shutil
import subprocess
import sys
import unittest
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
RELEASE_TOOLS = os.path.join(HERE, "..", "..", "tools", "release")
TOOL = os.path.join(RELEASE_TOOLS, "make_release.py")
sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, RELEASE_TOOLS)
import check_release  # noqa: E402
import manifest_rules  # noqa: E402

MODEL_NAMES = ["scrfd_10g_bnkps.onnx", "glintr100.onnx", "genderage.onnx", "1k3d68.onnx", "2d106det.onnx"]
VERSION = "2.4.1"
PAYLOAD = f"TavrinStudio-{VERSION}.zip"
# Exit status bits of the check.
MANIFEST, PAYLOAD_BIT, DIGEST, APP_FOLDER, MODELS, SIGNATURE, MODEL_DIGESTS = 4, 8, 16, 32, 64, 128, 1


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def sha256_of(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


class LiveHostTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        bed = os.environ["TAVRIN_TESTBED"]
        cls.ca = os.path.join(bed, "ca", "ca.pem")
        cls.port = int(os.environ["TAVRIN_TEST_HTTPS_PORT"])
        cls.folder = "check-" + secrets.token_hex(4)
        cls.root = os.path.join(bed, "www", cls.folder)
        inputs = os.path.join(bed, "check-inputs")
        shutil.rmtree(inputs, ignore_errors=True)
        cls.app = os.path.join(inputs, "app")
        write(os.path.join(cls.app, "TavrinAI.exe"), b"MZ" + os.urandom(300000))  # a few chunks
        write(os.path.join(cls.app, "app_icon.ico"), b"icon")
        cls.models = os.path.join(inputs, "models")
        for name in MODEL_NAMES:
            write(os.path.join(cls.models, name), name.encode() * 100)
        # Throwaway key pairs for this run: the release key and another one.
        cls.keys = {}
        for key in ("release", "other"):
            private = os.path.join(inputs, key + ".pem")
            subprocess.run(["openssl", "ecparam", "-name", "prime256v1", "-genkey", "-noout", "-out", private],
                           check=True, capture_output=True)
            subprocess.run(["openssl", "ec", "-in", private, "-pubout", "-out", private + ".pub"],
                           check=True, capture_output=True)
            cls.keys[key] = private

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.root, ignore_errors=True)

    def base(self, name):
        return f"https://localhost:{self.port}/{self.folder}/{name}"

    def publish(self, name, *options):
        """A good release at its own base URL; returns its folder under the www root."""
        folder = os.path.join(self.root, name)
        result = subprocess.run([sys.executable, TOOL, "--app", self.app, "--version", VERSION,
                                 "--base", self.base(name), "--out", folder, "--models", self.models, *options],
                                capture_output=True, text=True)
        self.assertEqual(result.returncode, 0, result.stderr)
        return folder

    def edit_manifest(self, folder, **members):
        path = os.path.join(folder, "dist", "latest.json")
        with open(path, "rb") as f:
            manifest = json.loads(f.read())
        manifest.update(members)
        write(path, json.dumps(manifest).encode())

    def check(self, name, *options, cacert=True, stderr=subprocess.PIPE):
        command = [sys.executable, TOOL, "check", "--base", self.base(name), *options]
        if cacert:
            command += ["--cacert", self.ca]
        return subprocess.run(command, stdout=subprocess.PIPE, stderr=stderr, text=True, timeout=120)

    def assertLine(self, output, verdict, item, *words):
        lines = [line for line in output.splitlines() if line[:4].strip() == verdict and line[6:].startswith(item + " ")]
        self.assertTrue(lines, f"no {verdict} line for {item} in:\n{output}")
        for word in words:
            self.assertIn(word, lines[0], output)

    def test_a_good_release_passes(self):
        folder = self.publish("good")
        result = self.check("good")
        print(result.stdout)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertLine(result.stdout, "OK", "manifest", "version 2.4.1")
        self.assertLine(result.stdout, "OK", "payload", str(os.path.getsize(os.path.join(folder, "dist", PAYLOAD))))
        self.assertLine(result.stdout, "OK", "payload digest", sha256_of(os.path.join(folder, "dist", PAYLOAD)))
        self.assertLine(result.stdout, "OK", "app folder", "TavrinStudio/", "TavrinAI.exe")
        for name in MODEL_NAMES:
            self.assertLine(result.stdout, "OK", "model " + name)
        for name in MODEL_NAMES:
            self.assertLine(result.stdout, "OK", "model digest " + name, sha256_of(os.path.join(self.models, name)))
        self.assertEqual(result.stdout.splitlines()[-1], "check: passed (14 ok)")
        self.assertEqual(result.stderr, "", "progress written although stderr is no terminal")

        requests = os.path.join(os.environ["TAVRIN_TESTBED"], "logs", "requests.log")
        with open(requests, encoding="utf-8", errors="replace") as f:
            seen = [line for line in f if f"/{self.folder}/good/" in line]
        self.assertEqual(len(seen), 7, "".join(seen))  # manifest, payload, five models, once each

    def test_each_fault_has_its_own_line_and_exit_status(self):
        def missing_model(folder):
            os.remove(os.path.join(folder, "models", "auraface", "glintr100.onnx"))

        def cut_payload(folder):
            self.edit_manifest(folder, url=f"https://localhost:{self.port}/_fault/short=20000/"
                                           f"{self.folder}/cut/dist/{PAYLOAD}")

        def wrong_digest(folder):
            self.edit_manifest(folder, sha256=hashlib.sha256(b"not the payload").hexdigest())

        def unusable_url(folder):
            self.edit_manifest(folder, url=f"ftp://localhost:{self.port}/{self.folder}/badurl/dist/{PAYLOAD}")

        def short_digest(folder):
            self.edit_manifest(folder, sha256=sha256_of(os.path.join(folder, "dist", PAYLOAD))[:63])

        def two_folders(folder):
            payload = os.path.join(folder, "dist", PAYLOAD)
            with zipfile.ZipFile(payload, "a") as archive:
                archive.writestr("Extras/readme.txt", b"not inside the app folder")
            self.edit_manifest(folder, sha256=sha256_of(payload))

        def replaced_model(folder):
            write(os.path.join(folder, "models", "auraface", "genderage.onnx"), b"not the published model")

        cases = [
            # name, fault, exit status, items checked, the failing line: verdict item and words
            ("missing-model", missing_model, MODELS, 13, ("model glintr100.onnx", "answered 404")),
            ("cut", cut_payload, PAYLOAD_BIT, 14, ("payload", "broke off after 20000 of")),
            ("digest", wrong_digest, DIGEST, 14, ("payload digest", "the manifest says " +
                                                  hashlib.sha256(b"not the payload").hexdigest())),
            ("badurl", unusable_url, MANIFEST, 9, ("manifest", "is not an http:// or https:// URL")),
            ("shortdigest", short_digest, MANIFEST, 9, ("manifest", "not 64 hexadecimal digits")),
            ("twofolders", two_folders, APP_FOLDER, 14, ("app folder", "top level holds Extras besides TavrinStudio")),
            ("replaced-model", replaced_model, MODEL_DIGESTS, 14,
             ("model digest genderage.onnx", hashlib.sha256(b"not the published model").hexdigest())),
        ]
        for name, fault, status, items, (item, *words) in cases:
            with self.subTest(name):
                fault(self.publish(name))
                result = self.check(name)
                print(result.stdout)
                self.assertEqual(result.returncode, status, result.stdout + result.stderr)
                self.assertLine(result.stdout, "FAIL", item, *words)
                fails = [line for line in result.stdout.splitlines() if line.startswith("FAIL")]
                self.assertEqual(len(fails), 1, result.stdout)
                self.assertEqual(result.stdout.splitlines()[-1], f"check: 1 of {items} items failed")
                if status == MANIFEST:
                    for skipped in ("payload", "payload digest", "app folder"):
                        self.assertLine(result.stdout, "SKIP", skipped)

    def test_a_version_file_before_other_entries_is_warned_of(self):
        folder = self.publish("order")
        payload = os.path.join(folder, "dist", PAYLOAD)
        with zipfile.ZipFile(payload, "a") as archive:
            archive.writestr("TavrinStudio/late.dat", b"written after the version file")
        self.edit_manifest(folder, sha256=sha256_of(payload))
        result = self.check("order")
        print(result.stdout)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertLine(result.stdout, "OK", "app folder", "TavrinStudio/")
        self.assertLine(result.stdout, "WARN", "version file order", "not the payload's last entry",
                        "TavrinStudio/late.dat")
        self.assertEqual(result.stdout.splitlines()[-1], "check: passed (14 ok, 1 warned)")

    def test_signed_release_passes_and_each_tampering_fails(self):
        release_key, other_key = self.keys["release"], self.keys["other"]
        public = release_key + ".pub"
        folder = self.publish("signed", "--manifest-key", release_key)
        result = self.check("signed", "--release-key", public)
        print(result.stdout)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertLine(result.stdout, "OK", "signature", "latest.json.sig")
        self.assertLine(result.stdout, "OK", "expiry", "the manifest expires at")
        self.assertEqual(result.stdout.splitlines()[-1], "check: passed (16 ok)")

        self.publish("s-soon", "--manifest-key", release_key, "--expires-days", "3")
        result = self.check("s-soon", "--release-key", public)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertLine(result.stdout, "WARN", "expiry", "in less than 7 days")

        def signature_path(folder):
            return os.path.join(folder, "dist", "latest.json.sig")

        def changed_version(folder):
            self.edit_manifest(folder, version="2.4.2")

        def changed_url(folder):
            self.edit_manifest(folder, url=f"https://localhost:{self.port}/{self.folder}/elsewhere/dist/{PAYLOAD}")

        def changed_digest(folder):
            self.edit_manifest(folder, **{"digest:genderage.onnx": hashlib.sha256(b"another model").hexdigest()})

        def missing_signature(folder):
            os.remove(signature_path(folder))

        def other_key_signature(folder):
            self.publish(os.path.basename(folder), "--manifest-key", other_key)

        def truncated_signature(folder):
            with open(signature_path(folder), "rb") as f:
                data = f.read()
            write(signature_path(folder), data[:63])

        cases = [
            # name, tampering, exit status, the failing lines: item and words
            ("s-version", changed_version, SIGNATURE | APP_FOLDER, [("signature", "does not verify"),
                                                                    ("app folder", "the manifest '2.4.2'")]),
            # The changed url still names a payload with the right digest (it is the same host's 404),
            # so the payload line fails too.
            ("s-url", changed_url, SIGNATURE | PAYLOAD_BIT, [("signature", "does not verify"),
                                                              ("payload", "answered 404")]),
            ("s-digest", changed_digest, SIGNATURE | MODEL_DIGESTS, [("signature", "does not verify"),
                                                                     ("model digest genderage.onnx",
                                                                      "the manifest says")]),
            ("s-missing", missing_signature, SIGNATURE, [("signature", "answered 404")]),
            ("s-otherkey", other_key_signature, SIGNATURE, [("signature", "does not verify")]),
            ("s-truncated", truncated_signature, SIGNATURE, [("signature", "63 bytes")]),
        ]
        for name, tampering, status, lines in cases:
            with self.subTest(name):
                tampering(self.publish(name, "--manifest-key", release_key))
                result = self.check(name, "--release-key", public)
                print(result.stdout)
                self.assertEqual(result.returncode, status, result.stdout + result.stderr)
                for item, *words in lines:
                    self.assertLine(result.stdout, "FAIL", item, *words)
                fails = [line for line in result.stdout.splitlines() if line.startswith("FAIL")]
                self.assertEqual(len(fails), len(lines), result.stdout)

        unsigned = self.publish("s-unsigned")
        self.assertFalse(os.path.exists(signature_path(unsigned)))
        result = self.check("s-unsigned", "--release-key", public)
        self.assertEqual(result.returncode, SIGNATURE, result.stdout)

    def test_expiry_past_or_missing_fails(self):
        manifest = b'{"version": "2.4.1", "expires": "2030-01-01T00:00:00Z"}'
        cases = [
            (manifest, datetime.datetime(2030, 1, 1, tzinfo=datetime.timezone.utc), "expired at 2030-01-01 00:00"),
            (manifest.replace(b"2030-01-01T00:00:00Z", b"2030-01-01"), None, "no readable"),
            (b'{"version": "2.4.1"}', None, "no readable"),
        ]
        for text, now, words in cases:
            with self.subTest(words):
                out = io.StringIO()
                report = check_release.Report(out)
                check_release.check_expiry(report, text, now)
                self.assertEqual(report.close(), check_release.MANIFEST)
                self.assertLine(out.getvalue(), "FAIL", "expiry", words)

    def test_system_trust_and_skipped_models(self):
        self.publish("trust")
        result = self.check("trust", "--skip-models", cacert=False)
        self.assertEqual(result.returncode, MANIFEST, result.stdout)
        self.assertLine(result.stdout, "FAIL", "manifest", "certificate is not trusted")
        self.assertLine(result.stdout, "SKIP", "models", "--skip-models")
        self.assertNotIn("model ", result.stdout)

    def test_progress_only_on_a_terminal(self):
        self.publish("progress")
        controller, terminal = pty.openpty()
        try:
            result = self.check("progress", "--skip-models", stderr=terminal)
            os.close(terminal)
            terminal = None
            shown = b""
            while True:
                try:
                    chunk = os.read(controller, 65536)
                except OSError:  # the terminal's other end is closed: all has been read
                    break
                if not chunk:
                    break
                shown += chunk
        finally:
            if terminal is not None:
                os.close(terminal)
            os.close(controller)
        self.assertEqual(result.returncode, 0, result.stdout)
        self.assertRegex(shown, rb"payload  \d+\.\d / 0\.3 MB \(\d+%\)")
        self.assertNotIn(" MB (", result.stdout)
        self.assertEqual(result.stdout.splitlines()[-1], "check: passed (4 ok, 1 skipped)")


class ManifestRulesTest(unittest.TestCase):
    """The manifest as the setup program reads it: the values it takes, and what makes it invalid."""

    def test_table(self):
        URL = "https://h/p.zip"
        DIGEST = "0123456789abcdef" * 4
        cases = [
            # name, manifest text, (url, version, sha256) or the words of the refusal
            ("all three", '{"url": "%s", "version": "2.4.1", "sha256": "%s"}' % (URL, DIGEST),
             (URL, "2.4.1", DIGEST)),
            ("no sha256: valid, unverified", '{"version":"2.4.1","url":"%s"}' % URL, (URL, "2.4.1", None)),
            ("upper-case digest", '{"url":"%s","version":"1","sha256":"%s"}' % (URL, DIGEST.upper()),
             (URL, "1", DIGEST.upper())),
            ("63 digits", '{"url":"%s","version":"1","sha256":"%s"}' % (URL, DIGEST[:63]), "64 hexadecimal"),
            ("65 digits", '{"url":"%s","version":"1","sha256":"%s0"}' % (URL, DIGEST), "64 hexadecimal"),
            ("not hex", '{"url":"%s","version":"1","sha256":"%s"}' % (URL, "g" * 64), "64 hexadecimal"),
            ("empty digest", '{"url":"%s","version":"1","sha256":""}' % URL, "64 hexadecimal"),
            ("digest not a string", '{"sha256": 5, "url":"%s","version":"1"}' % URL, "64 hexadecimal"),
            ("key in another case", '{"URL":"%s","version":"1"}' % URL, 'no "url"'),
            ("empty version", '{"url":"%s","version":""}' % URL, '"version" is empty'),
            ("version of 32", '{"url":"%s","version":"%s"}' % (URL, "1" * 32), "longer than 31"),
            ("escaped slashes", '{"url":"https:\\/\\/h\\/p.zip","version":"1"}', "backslash"),
            ("relative url", '{"url":"p.zip","version":"1"}', "not an http"),
            ("url without host", '{"url":"https:///p.zip","version":"1"}', "no host"),
            ("members past 16383 bytes", '{"pad":"%s","url":"%s","version":"1"}' % ("x" * 16400, URL), 'no "url"'),
        ]
        for name, text, expected in cases:
            with self.subTest(name):
                if isinstance(expected, tuple):
                    self.assertEqual(manifest_rules.read_manifest(text.encode()), expected)
                else:
                    with self.assertRaises(ValueError) as refusal:
                        manifest_rules.read_manifest(text.encode())
                    self.assertIn(expected, str(refusal.exception))


if __name__ == "__main__":
    unittest.main(verbosity=2)
