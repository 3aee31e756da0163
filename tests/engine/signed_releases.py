#!/usr/bin/env python3
"""Makes the releases that the key-built install worker test installs or refuses, with the
publisher's release tool and the build tree's throwaway keys, straight into the bed's www root.

    signed_releases.py --key release.pem --other-key other.pem --https-port 47443 --www BED/www

Each release lies in www/t/signed_<name>/ (dist/latest.json, dist/latest.json.sig, the payload
and models/auraface/<five models>), made for the base URL https://localhost:<port>/t/signed_<name>:

    good        version 2.5.0 signed with the release key
    version     good, then its version changed to 2.5.1 after signing
    url         good, then its url pointed at a copy of the payload (dist/other.zip) after signing
    digest      good, then its sha256 changed after signing
    missing     good without its latest.json.sig
    otherkey    signed with the other key
    truncated   good with the signature's last byte cut off
    nosha256    good without the sha256 member, signed again with the release key
    models      good with genderage.onnx replaced on the host after the release was made, and
                the digest member of 1k3d68.onnx left out (signed again with the release key)
    expired     good with its expiry moved into the past, signed again with the release key
    noexpires   good without the expires member, signed again with the release key
    older       good with its version changed to 2.4.0 (older than the 2.4.1 the test installs
                first), signed again with the release key
"""

import argparse
import hashlib
import os
import re
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
RELEASE_TOOLS = os.path.join(HERE, "..", "..", "tools", "release")
TOOL = os.path.join(RELEASE_TOOLS, "make_release.py")
sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, RELEASE_TOOLS)
from layout import APP_ICON_NAME, APP_PROGRAM_NAME, MODEL_NAMES  # noqa: E402
from make_release import ManifestSigner  # noqa: E402

VERSION = "2.5.0"


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def replace_once(path, old, new):
    data = read(path)
    if data.count(old) != 1:
        sys.exit(f"signed_releases: {old!r} is not once in {path}")
    write(path, data.replace(old, new))


def without_member(path, key):
    """The manifest without the line of its member key (the tool writes one member a line)."""
    lines = read(path).split(b"\n")
    kept = [line for line in lines if not line.strip().startswith(b'"' + key + b'"')]
    if len(kept) != len(lines) - 1:
        sys.exit(f"signed_releases: no {key!r} line in {path}")
    text = b"\n".join(kept).replace(b",\n}", b"\n}")
    write(path, text)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--key", required=True)
    parser.add_argument("--other-key", required=True)
    parser.add_argument("--https-port", required=True, type=int)
    parser.add_argument("--www", required=True)
    args = parser.parse_args()

    inputs = os.path.join(args.www, "t", "signed_inputs")
    shutil.rmtree(inputs, ignore_errors=True)
    app = os.path.join(inputs, "app")
    write(os.path.join(app, APP_PROGRAM_NAME), b"MZ signed release program")
    write(os.path.join(app, APP_ICON_NAME), b"icon")
    write(os.path.join(app, "lib", "data.bin"), b"data of 2.5.0")
    models = os.path.join(inputs, "models")
    for name in MODEL_NAMES:
        write(os.path.join(models, name), f"onnx {name}\n".encode() * 40)

    def release(name, key=None):
        folder = os.path.join(args.www, "t", "signed_" + name)
        shutil.rmtree(folder, ignore_errors=True)
        base = f"https://localhost:{args.https_port}/t/signed_{name}"
        result = subprocess.run([sys.executable, TOOL, "--app", app, "--version", VERSION, "--base", base,
                                 "--out", folder, "--models", models, "--manifest-key", key or args.key],
                                capture_output=True, text=True)
        if result.returncode != 0:
            sys.exit(f"signed_releases: the release tool failed for {name}:\n{result.stdout}{result.stderr}")
        return os.path.join(folder, "dist", "latest.json")

    release("good")
    replace_once(release("version"), b'"version": "2.5.0"', b'"version": "2.5.1"')
    manifest = release("url")
    shutil.copyfile(os.path.join(os.path.dirname(manifest), f"TavrinStudio-{VERSION}.zip"),
                    os.path.join(os.path.dirname(manifest), "other.zip"))
    replace_once(manifest, f"TavrinStudio-{VERSION}.zip".encode(), b"other.zip")
    manifest = release("digest")
    payload_digest = hashlib.sha256(read(os.path.join(os.path.dirname(manifest), f"TavrinStudio-{VERSION}.zip")))
    replace_once(manifest, payload_digest.hexdigest().encode(), hashlib.sha256(b"another payload").hexdigest().encode())
    os.remove(release("missing") + ".sig")
    release("otherkey", args.other_key)
    signature = release("truncated") + ".sig"
    write(signature, read(signature)[:63])
    manifest = release("nosha256")
    without_member(manifest, b"sha256")
    ManifestSigner(args.key).sign(manifest)
    manifest = release("models")
    write(os.path.join(args.www, "t", "signed_models", "models", "auraface", "genderage.onnx"), b"not the published model")
    without_member(manifest, b"digest:1k3d68.onnx")
    ManifestSigner(args.key).sign(manifest)

    manifest = release("expired")
    expires = re.search(rb'"expires": "([^"]*)"', read(manifest)).group(1)
    replace_once(manifest, expires, b"2020-01-01T00:00:00Z")
    ManifestSigner(args.key).sign(manifest)
    manifest = release("noexpires")
    without_member(manifest, b"expires")
    ManifestSigner(args.key).sign(manifest)
    manifest = release("older")
    replace_once(manifest, b'"version": "2.5.0"', b'"version": "2.4.0"')
    ManifestSigner(args.key).sign(manifest)

    shutil.rmtree(inputs)
    print(f"signed_releases: good and eleven tampered releases in {os.path.join(args.www, 't')}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
