#!/usr/bin/env python3
"""Makes the benchmark's files once and keeps them for later runs.

    make_data.py OUT_FOLDER

OUT_FOLDER receives:
    body.bin                 1 GiB of random bytes: the download and verification body
    small.bin                1 MiB of random bytes: warms the download path up
    TavrinStudio.zip         the payload of the install figure: a stored (uncompressed) zip of
                             about 512 MiB, mostly random bytes in a few large files and many
                             small ones, with the app folder's four files
    TavrinStudio.zip.sha256  its SHA-256 digest, lower-case hex
    models/<five names>      the models, at the sizes of the real ones (about 408 MiB together)
    stamp                    what the files were made for; a different stamp makes them anew
"""

import hashlib
import os
import sys
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools", "release"))
from layout import (APP_FOLDER_NAME, APP_ICON_NAME, APP_PROGRAM_NAME, APP_SCRIPT_NAME,  # noqa: E402
                    MODEL_NAMES, VERSION_FILE_NAME)

MIB = 1 << 20
BODY_BYTES = 1024 * MIB
SMALL_BYTES = 1 * MIB
# Large files and many small ones, 512 MiB of content in all.
PAYLOAD_LARGE = [("lib/torch_cpu.dll", 200 * MIB), ("lib/onnxruntime.dll", 120 * MIB),
                 ("lib/opencv_world.dll", 80 * MIB), ("lib/python311.zip", 48 * MIB),
                 ("lib/cudnn_stub.dll", 32 * MIB)]
PAYLOAD_SMALL_COUNT = 256
PAYLOAD_SMALL_BYTES = 128 * 1024
# The models at the sizes of the real ones, in the setup program's order.
MODELS = list(zip(MODEL_NAMES, [16_900_000, 260_700_000, 1_300_000, 143_600_000, 4_800_000]))
STAMP = "v1 body=%d payload=%d+%dx%d models=%s" % (
    BODY_BYTES, sum(size for _, size in PAYLOAD_LARGE), PAYLOAD_SMALL_COUNT, PAYLOAD_SMALL_BYTES,
    ",".join("%s:%d" % m for m in MODELS))


def random_file(path, size):
    with open(path + ".tmp", "wb") as out:
        left = size
        while left > 0:
            chunk = min(left, 4 * MIB)
            out.write(os.urandom(chunk))
            left -= chunk
    os.replace(path + ".tmp", path)


def random_member(archive, name, size):
    with archive.open(name, "w", force_zip64=False) as member:
        left = size
        while left > 0:
            chunk = min(left, 4 * MIB)
            member.write(os.urandom(chunk))
            left -= chunk


def make_payload(path):
    with zipfile.ZipFile(path + ".tmp", "w", compression=zipfile.ZIP_STORED) as archive:
        app = APP_FOLDER_NAME + "/"
        archive.writestr(app, b"")
        archive.writestr(app + VERSION_FILE_NAME, b"9.9.9\r\n")
        archive.writestr(app + APP_PROGRAM_NAME, b"MZ" + os.urandom(64 * 1024))
        archive.writestr(app + APP_SCRIPT_NAME, b"@echo off\r\nstart %s\r\n" % APP_PROGRAM_NAME.encode())
        archive.writestr(app + APP_ICON_NAME, b"\0\0\1\0" + os.urandom(4 * 1024))
        for name, size in PAYLOAD_LARGE:
            random_member(archive, app + name, size)
        for i in range(PAYLOAD_SMALL_COUNT):
            random_member(archive, app + "site-packages/pkg%03d/module.pyd" % i, PAYLOAD_SMALL_BYTES)
    os.replace(path + ".tmp", path)
    digest = hashlib.sha256()
    with open(path, "rb") as payload:
        for block in iter(lambda: payload.read(4 * MIB), b""):
            digest.update(block)
    with open(path + ".sha256", "w") as out:
        out.write(digest.hexdigest() + "\n")


def main():
    if len(sys.argv) != 2:
        sys.stderr.write(__doc__)
        return 2
    out = sys.argv[1]
    stamp_path = os.path.join(out, "stamp")
    try:
        with open(stamp_path) as stamp:
            if stamp.read().strip() == STAMP:
                return 0
    except OSError:
        pass
    os.makedirs(os.path.join(out, "models"), exist_ok=True)
    if os.path.exists(stamp_path):
        os.remove(stamp_path)
    print("bench data: making %s" % out, flush=True)
    random_file(os.path.join(out, "body.bin"), BODY_BYTES)
    random_file(os.path.join(out, "small.bin"), SMALL_BYTES)
    make_payload(os.path.join(out, "TavrinStudio.zip"))
    for name, size in MODELS:
        random_file(os.path.join(out, "models", name), size)
    with open(stamp_path, "w") as stamp:
        stamp.write(STAMP + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
