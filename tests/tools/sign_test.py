#!/usr/bin/env python3
"""The signing step (tools/release/sign.py) and the release tool's signing of TavrinAI.exe,
against a throwaway code-signing CA made for this run: what is signed verifies against that CA
and no other, a changed byte breaks it, the resources stay as they were, the password never
reaches a command line, and a signing that was asked for never ends in an unsigned program.

    sign_test.py --setup TavrinSetup.exe --app-program TavrinAI.exe --objdump OBJDUMP --work DIR
"""

import argparse
import os
import shutil
import subprocess
import sys
import unittest
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
RELEASE_TOOLS = os.path.join(HERE, "..", "..", "tools", "release")
SIGN = os.path.join(RELEASE_TOOLS, "sign.py")
MAKE_RELEASE = os.path.join(RELEASE_TOOLS, "make_release.py")
sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, HERE)
import codesign_ca  # noqa: E402
import executable_check  # noqa: E402

ARGS = None
CA = None


def run(*command, env=None, password=codesign_ca.PASSWORD):
    environment = dict(os.environ)
    environment.pop("TAVRIN_SIGN_PASSWORD", None)
    if password is not None:
        environment["TAVRIN_SIGN_PASSWORD"] = password
    environment.update(env or {})
    return subprocess.run([sys.executable, *command], capture_output=True, text=True, env=environment)


def read(path):
    with open(path, "rb") as f:
        return f.read()


class SignTest(unittest.TestCase):
    def setUp(self):
        self.work = os.path.join(ARGS.work, self.id().rsplit(".", 1)[-1])
        shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(self.work)

    def copy(self, source, name):
        target = os.path.join(self.work, name)
        shutil.copyfile(source, target)
        return target

    def test_signed_setup_verifies_against_the_run_ca_only_and_keeps_its_resources(self):
        setup = self.copy(ARGS.setup, "TavrinSetup.exe")
        result = run(SIGN, "--pkcs12", CA.pkcs12, "--name", "Tavrin AI Setup", setup)
        self.assertEqual(result.returncode, 0, result.stderr)

        status, output = codesign_ca.verify(setup, CA.ca)
        print(output)
        self.assertEqual(status, 0, output)
        self.assertIn("Message digest algorithm  : SHA256", output)
        self.assertIn("Subject: /CN=Tavrin Test Publisher", output)
        self.assertIn("Text description: Tavrin AI Setup", output)
        self.assertIn("Signature verification: ok", output)

        other = codesign_ca.CodeSigningCA(os.path.join(self.work, "other-ca"), "Some Other Root")
        status, output = codesign_ca.verify(setup, other.ca)
        self.assertNotEqual(status, 0, "verified against a CA that did not issue the certificate")

        self.assertEqual(executable_check.read_resources(read(setup)), executable_check.read_resources(read(ARGS.setup)))
        check = subprocess.run([sys.executable, os.path.join(HERE, "executable_check.py"), setup,
                                "--objdump", ARGS.objdump], capture_output=True, text=True)
        self.assertEqual(check.returncode, 0, check.stdout + check.stderr)

        tampered = bytearray(read(setup))
        tampered[len(read(ARGS.setup)) // 2] ^= 0x01  # a byte of the program, not of its signature
        with open(setup, "wb") as f:
            f.write(tampered)
        status, output = codesign_ca.verify(setup, CA.ca)
        self.assertNotEqual(status, 0, output)
        self.assertIn("MISMATCH", output)

    def test_password_from_a_file_never_on_a_command_line(self):
        # osslsigncode is run through a wrapper that writes down its command line.
        log = os.path.join(self.work, "command-line.txt")
        wrapper = os.path.join(self.work, "osslsigncode")
        with open(wrapper, "w") as f:
            f.write('#!/bin/sh\nprintf "%%s\\n" "$@" >> "%s"\nexec osslsigncode "$@"\n' % log)
        os.chmod(wrapper, 0o755)
        program = self.copy(ARGS.app_program, "TavrinAI.exe")
        for source in (["--password-file", CA.password_file], []):  # a file, then the environment
            with self.subTest(source=source or "environment"):
                result = run(SIGN, "--pkcs12", CA.pkcs12, "--osslsigncode", wrapper, *source, program,
                             password=None if source else codesign_ca.PASSWORD)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(codesign_ca.verify(program, CA.ca)[0], 0)
        arguments = read(log).decode("utf-8")
        self.assertEqual(arguments.count("-readpass"), 2)
        self.assertNotIn(codesign_ca.PASSWORD, arguments)
        self.assertNotIn("-pass\n", arguments)

    def test_rfc3161_timestamp(self):
        program = self.copy(ARGS.app_program, "TavrinAI.exe")
        port = int(os.environ.get("TAVRIN_TEST_HTTPS_PORT", "47443")) + 5
        with CA.time_stamp_server(port) as server:
            result = run(SIGN, "--pkcs12", CA.pkcs12, "--timestamp", server.url, program)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(server.requests, 1)
        status, output = codesign_ca.verify(program, CA.ca, tsa_ca=CA.ca)
        self.assertEqual(status, 0, output)
        self.assertIn("Timestamp Server Signature verification: ok", output)

    def test_asked_to_sign_never_leaves_an_unsigned_program(self):
        missing = os.path.join(self.work, "no-such.p12")
        empty = os.path.join(self.work, "empty-password.txt")
        open(empty, "w").close()
        cases = [
            # name, arguments, password in the environment, exit status, words of the message
            ("no certificate", ["--pkcs12", ""], codesign_ca.PASSWORD, 2, "no PKCS#12 certificate"),
            ("missing certificate", ["--pkcs12", missing], codesign_ca.PASSWORD, 2, "does not exist"),
            ("no password", ["--pkcs12", CA.pkcs12], None, 2, "TAVRIN_SIGN_PASSWORD"),
            ("empty password file", ["--pkcs12", CA.pkcs12, "--password-file", empty], None, 2, "empty"),
            ("wrong password", ["--pkcs12", CA.pkcs12], "not the password", 1, "could not sign"),
        ]
        original = read(ARGS.app_program)
        for name, arguments, password, status, words in cases:
            for delete in (False, True):
                with self.subTest(name, delete_on_failure=delete):
                    program = self.copy(ARGS.app_program, "TavrinAI.exe")
                    extra = ["--delete-on-failure"] if delete else []
                    result = run(SIGN, *arguments, *extra, program, password=password)
                    self.assertEqual(result.returncode, status, result.stderr)
                    self.assertIn(words, result.stderr)
                    if delete:
                        self.assertFalse(os.path.exists(program), "the unsigned program is still there")
                    else:
                        self.assertEqual(read(program), original)
                    self.assertFalse(os.path.exists(program + ".signing"), "a half-signed copy was left behind")

    def test_release_tool_signs_the_packed_program(self):
        app = os.path.join(self.work, "app")
        os.makedirs(app)
        shutil.copyfile(ARGS.app_program, os.path.join(app, "TavrinAI.exe"))
        with open(os.path.join(app, "app_icon.ico"), "wb") as f:
            f.write(b"icon")
        out = os.path.join(self.work, "out")
        release = ["--app", app, "--version", "2.4.1", "--base", "https://releases.example.com", "--out", out]
        result = run(MAKE_RELEASE, *release, "--sign-pkcs12", CA.pkcs12)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(read(os.path.join(app, "TavrinAI.exe")), read(ARGS.app_program), "the app folder was changed")
        packed = os.path.join(self.work, "packed.exe")
        with zipfile.ZipFile(os.path.join(out, "dist", "TavrinStudio-2.4.1.zip")) as archive, open(packed, "wb") as f:
            f.write(archive.read("TavrinStudio/TavrinAI.exe"))
        status, output = codesign_ca.verify(packed, CA.ca)
        self.assertEqual(status, 0, output)
        self.assertIn("Text description: Tavrin AI\n", output)

        # Asked to sign but unable to: nothing is published.
        script_only = os.path.join(self.work, "script-only")
        os.makedirs(script_only)
        for name, data in (("run_tavrin.bat", b"@echo off\r\n"), ("app_icon.ico", b"icon")):
            with open(os.path.join(script_only, name), "wb") as f:
                f.write(data)
        cases = [
            ("no certificate", ["--app", app, "--sign-pkcs12", ""], codesign_ca.PASSWORD, 2, "no PKCS#12"),
            ("no password", ["--app", app, "--sign-pkcs12", CA.pkcs12], None, 2, "TAVRIN_SIGN_PASSWORD"),
            ("wrong password", ["--app", app, "--sign-pkcs12", CA.pkcs12], "wrong", 1, "could not sign"),
            ("nothing to sign", ["--app", script_only, "--sign-pkcs12", CA.pkcs12], codesign_ca.PASSWORD, 2,
             "TavrinAI.exe"),
        ]
        for name, arguments, password, status, words in cases:
            with self.subTest(name):
                target = os.path.join(self.work, "refused-" + name.replace(" ", "-"))
                result = run(MAKE_RELEASE, *arguments, "--version", "2.4.1", "--base", "https://releases.example.com",
                             "--out", target, password=password)
                self.assertEqual(result.returncode, status, result.stderr)
                self.assertIn(words, result.stderr)
                self.assertFalse(os.path.exists(os.path.join(target, "dist")), "a release was written")


def main():
    global ARGS, CA
    parser = argparse.ArgumentParser()
    parser.add_argument("--setup", required=True)
    parser.add_argument("--app-program", required=True)
    parser.add_argument("--objdump", required=True)
    parser.add_argument("--work", required=True)
    ARGS, rest = parser.parse_known_args()
    ARGS.work = os.path.abspath(ARGS.work)
    shutil.rmtree(ARGS.work, ignore_errors=True)
    CA = codesign_ca.CodeSigningCA(os.path.join(ARGS.work, "ca"))
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)


if __name__ == "__main__":
    main()
