#!/usr/bin/env python3
"""The shipping build with signing asked for, through the mingw-release-signed preset as a
publisher runs it, with a throwaway code-signing CA and time-stamp server made for this run:
the preset refuses to configure without a certificate; a build without the password fails and
leaves no unsigned TavrinSetup.exe; with the password the linked program is signed, time-stamped
and verifies against the run's CA, and its resources are those of the unsigned test build.

The signed program is copied to --signed-copy for the end-to-end story that installs and
uninstalls it under Wine.

    signed_build_test.py --source DIR --build DIR --release-base URL --reference TavrinSetup.exe
                         --objdump OBJDUMP --signed-copy FILE
"""

import argparse
import os
import shutil
import subprocess
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, HERE)
import codesign_ca  # noqa: E402
import executable_check  # noqa: E402

ARGS = None
SIGNING_VARIABLES = ("TAVRIN_SIGN_PKCS12", "TAVRIN_SIGN_PASSWORD", "TAVRIN_SIGN_TIMESTAMP_URL")


def cmake(*args, **variables):
    environment = {k: v for k, v in os.environ.items() if k not in SIGNING_VARIABLES}
    environment.update(variables)
    result = subprocess.run(["cmake", *args], cwd=ARGS.source, env=environment, capture_output=True, text=True)
    return result.returncode, result.stdout + result.stderr


def read(path):
    with open(path, "rb") as f:
        return f.read()


class SignedBuildTest(unittest.TestCase):
    def test_signed_shipping_build(self):
        ca = codesign_ca.CodeSigningCA(os.path.join(ARGS.build, "ca"))

        refused = os.path.join(ARGS.build, "without-certificate")
        shutil.rmtree(refused, ignore_errors=True)
        status, output = cmake("--preset", "mingw-release-signed", "-B", refused)
        self.assertNotEqual(status, 0, output)
        self.assertIn("names no certificate", " ".join(output.split()))  # cmake wraps its messages

        build = os.path.join(ARGS.build, "build")
        status, output = cmake("--preset", "mingw-release-signed", "-B", build,
                               f"-DTAVRIN_RELEASE_BASE={ARGS.release_base}", TAVRIN_SIGN_PKCS12=ca.pkcs12,
                               TAVRIN_SIGN_TIMESTAMP_URL=f"http://127.0.0.1:{ARGS.time_stamp_port}/")
        self.assertEqual(status, 0, output)
        setup = os.path.join(build, "window", "TavrinSetup.exe")
        if os.path.exists(setup):
            os.remove(setup)  # a kept build dir: the program is linked, and so signed, again

        status, output = cmake("--build", build, "--target", "TavrinSetup")
        self.assertNotEqual(status, 0, "built without a password:\n" + output)
        self.assertIn("TAVRIN_SIGN_PASSWORD", output)
        self.assertFalse(os.path.exists(setup), "a build that could not sign left an unsigned TavrinSetup.exe")

        with ca.time_stamp_server(ARGS.time_stamp_port) as server:
            status, output = cmake("--build", build, "--target", "TavrinSetup", TAVRIN_SIGN_PASSWORD=codesign_ca.PASSWORD)
        self.assertEqual(status, 0, output)
        self.assertEqual(server.requests, 1)

        status, output = codesign_ca.verify(setup, ca.ca, tsa_ca=ca.ca)
        print(output)
        self.assertEqual(status, 0, output)
        for line in ("Message digest algorithm  : SHA256", "Text description: Tavrin AI Setup",
                     "Timestamp Server Signature verification: ok", "Signature verification: ok"):
            self.assertIn(line, output)

        self.assertEqual(executable_check.read_resources(read(setup)),
                         executable_check.read_resources(read(ARGS.reference)))
        check = subprocess.run([sys.executable, os.path.join(HERE, "executable_check.py"), setup,
                                "--objdump", ARGS.objdump, "--res", os.path.join(ARGS.source, "res")],
                               capture_output=True, text=True)
        self.assertEqual(check.returncode, 0, check.stdout + check.stderr)

        os.makedirs(os.path.dirname(ARGS.signed_copy), exist_ok=True)
        shutil.copyfile(setup, ARGS.signed_copy)


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    for option in ("--source", "--build", "--release-base", "--reference", "--objdump", "--signed-copy"):
        parser.add_argument(option, required=True)
    parser.add_argument("--time-stamp-port", type=int, required=True)
    ARGS, rest = parser.parse_known_args()
    ARGS.build = os.path.abspath(ARGS.build)
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)


if __name__ == "__main__":
    main()
