#!/usr/bin/env python3
"""Makes the releases that the end-to-end tests publish, with the publisher's own release tool.

    make_releases.py --tool make_release.py --sample-app TavrinAI.exe --icon app.ico \
                     --https-port 47443 --out BED/e2e-releases

OUT/<name>/ receives what the tool writes (dist/latest.json, dist/TavrinStudio-<v>.zip,
models/auraface/<five models>) for each release:

    v2.4.1     the sample application, version 2.4.1
    v2.5.0     the same application, version 2.5.0, with another data file and other models
    dropped    2.4.1 whose payload URL goes through the host's cut fault: the first request of
               it breaks off mid-body, later ones (ranged or not) are whole
    baddigest  2.5.0 whose manifest names a digest that is not the payload's

The payload of a release lies at the path of its manifest's "url" on the host (after any
/_fault/<fault>/ segment); the tests copy it there, and dist/latest.json to /dist/latest.json.
The host counts the requests of a URL for its whole life, so that URL carries a token of this run.
Each version's app holds data/blob.bin, incompressible, so that the payload is large enough to
break off well past a read and 64 KiB (a reset may take the bytes of the read it meets).
"""

import argparse
import hashlib
import json
import os
import secrets
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "release"))
from layout import APP_ICON_NAME, APP_PROGRAM_NAME, APP_SCRIPT_NAME, MANIFEST_URL_PATH, MODEL_NAMES  # noqa: E402
from make_release import payload_name_of  # noqa: E402

DROP_AFTER = 400000  # bytes of the payload delivered before the connection is reset


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def make_inputs(work, version, sample_app, icon):
    """The application folder and the model folder of one version."""
    app = os.path.join(work, version, "app")
    os.makedirs(app, exist_ok=True)
    shutil.copyfile(sample_app, os.path.join(app, APP_PROGRAM_NAME))
    shutil.copyfile(icon, os.path.join(app, APP_ICON_NAME))
    write(os.path.join(app, APP_SCRIPT_NAME), b'@start "" "%%~dp0%s"\r\n' % APP_PROGRAM_NAME.encode())
    write(os.path.join(app, "data", f"notes-{version}.txt"), f"Tavrin AI {version}\r\n".encode())
    write(os.path.join(app, "data", "blob.bin"), secrets.token_bytes(2 * DROP_AFTER))
    models = os.path.join(work, version, "models")
    for name in MODEL_NAMES:
        write(os.path.join(models, name), f"onnx {name} of {version}\n".encode() * 64)
    return app, models


def release(tool, out, name, version, inputs, base, payload_url=None):
    folder = os.path.join(out, name)
    app, models = inputs[version]
    command = [sys.executable, tool, "--app", app, "--version", version, "--base", base, "--out", folder,
               "--models", models]
    if payload_url:
        command += ["--payload-url", payload_url]
    result = subprocess.run(command, capture_output=True, text=True)
    if result.returncode != 0:
        sys.exit(f"make_releases: the release tool failed for {name}:\n{result.stdout}{result.stderr}")
    return folder


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tool", required=True)
    parser.add_argument("--sample-app", required=True)
    parser.add_argument("--icon", required=True)
    parser.add_argument("--https-port", required=True, type=int)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()

    out = os.path.abspath(args.out)
    if os.path.basename(out) != "e2e-releases":
        sys.exit(f"make_releases: refusing to clear {out}: not an e2e-releases folder")
    shutil.rmtree(out, ignore_errors=True)
    work = os.path.join(out, "_inputs")
    inputs = {v: make_inputs(work, v, args.sample_app, args.icon) for v in ("2.4.1", "2.5.0")}
    base = f"https://localhost:{args.https_port}"

    release(args.tool, out, "v2.4.1", "2.4.1", inputs, base)
    release(args.tool, out, "v2.5.0", "2.5.0", inputs, base)

    token = secrets.token_hex(6)
    dropped_url = f"{base}/_fault/cut={DROP_AFTER}/e2e/{token}/dist/{payload_name_of('2.4.1')}"
    dropped = release(args.tool, out, "dropped", "2.4.1", inputs, base, dropped_url)
    size = os.path.getsize(os.path.join(dropped, "dist", payload_name_of("2.4.1")))
    if size < 2 * DROP_AFTER:
        sys.exit(f"make_releases: the payload ({size} bytes) is too small to break off in its middle")

    # The tool writes only correct digests; the tampered release gets its digest afterwards.
    bad = release(args.tool, out, "baddigest", "2.5.0", inputs, base)
    manifest_path = os.path.join(bad, *MANIFEST_URL_PATH.split("/"))
    with open(manifest_path, "rb") as f:
        manifest = json.loads(f.read().decode("utf-8"))
    manifest["sha256"] = hashlib.sha256(b"not the payload").hexdigest()
    write(manifest_path, (json.dumps(manifest, indent=2) + "\n").encode("utf-8"))

    shutil.rmtree(work)
    print(f"make_releases: v2.4.1, v2.5.0, dropped (token {token}), baddigest in {out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
