#!/usr/bin/env python3
"""The stand-in tar.exe against bsdtar.

Each case builds a zip archive here on Linux, extracts it with bsdtar and with the stand-in
under Wine, each into a target folder of its own inside a sandbox, and compares: the exit status
(zero or not), the trees when both succeed (names, folder or file, contents), and that nothing
appeared or changed anywhere in the case folder outside the two targets.
"""
import argparse
import hashlib
import io
import os
import random
import shutil
import subprocess
import sys
import zipfile

STORED, DEFLATED = zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED


def write_zip(path, entries, stream=False):
    """entries: (name, bytes or None for a folder entry, compression). With stream=True the
    archive goes through a file object that cannot seek, so the writer uses data descriptors."""
    target = io.BytesIO()

    class Unseekable(io.RawIOBase):
        def writable(self):
            return True

        def write(self, data):
            return target.write(data)

    with zipfile.ZipFile(Unseekable() if stream else target, "w") as archive:
        for name, data, method in entries:
            info = zipfile.ZipInfo(name, (2024, 5, 1, 12, 0, 0))
            if "\\" in name:
                info.create_system = 0  # as Windows archivers write them: '\\' is a separator
            if data is None:
                info.external_attr = 0o40755 << 16 | 0x10
                data = b""
            archive.writestr(info, data, compress_type=method)
    with open(path, "wb") as out:
        out.write(target.getvalue())


def noise(size, seed):
    return random.Random(seed).randbytes(size)


def text(size, seed):
    words = [b"tavrin", b"photo", b"culling", b"model", b"\xec\x82\xac\xec\xa7\x84", b"\n"]
    rng = random.Random(seed)
    out = bytearray()
    while len(out) < size:
        out += rng.choice(words) + b" "
    return bytes(out[:size])


def payload_like(path, case):
    write_zip(path, [
        ("TavrinStudio/", None, STORED),
        ("TavrinStudio/version.txt", b"1.2.1\n", STORED),
        ("TavrinStudio/TavrinAI.exe", noise(40000, 1), DEFLATED),
        ("TavrinStudio/run_tavrin.bat", b"@echo off\r\nstart TavrinAI.exe\r\n", DEFLATED),
        ("TavrinStudio/lib/site/pkg/module.py", text(9000, 2), DEFLATED),
        ("TavrinStudio/lib/site/pkg/data.bin", noise(3000, 3), STORED),
    ])


def parents_without_folder_entries(path, case):
    write_zip(path, [("a/b/c/deep.txt", b"deep", DEFLATED), ("a/top.txt", b"top", STORED)])


def empty_file_and_folder(path, case):
    write_zip(path, [
        ("empty.txt", b"", STORED),
        ("empty_deflated.txt", b"", DEFLATED),
        ("empty_folder/", None, STORED),
        ("outer/inner_empty/", None, STORED),
    ])


def korean_names(path, case):
    write_zip(path, [
        ("사진/", None, STORED),
        ("사진/선별 결과.txt", "좋은 사진만 남겼습니다\n".encode(), DEFLATED),
        ("사진/원본 모음/가나다.jpg", noise(5000, 4), STORED),
        ("모델 파일.onnx", noise(2000, 5), DEFLATED),
    ])


def large_files(path, case):
    write_zip(path, [
        ("big/compressible.bin", text(5 << 20, 6), DEFLATED),
        ("big/random_deflated.bin", noise(3 << 20, 7), DEFLATED),
        ("big/random_stored.bin", noise(2 << 20, 8), STORED),
    ])


def data_descriptors(path, case):
    write_zip(path, [("stream/one.txt", text(20000, 9), DEFLATED), ("stream/two.bin", noise(700, 10), STORED)],
              stream=True)


def zip64_records(path, case):
    # Lowering the writer's limits makes it emit zip64 end records and extra fields for a tiny archive.
    saved = zipfile.ZIP64_LIMIT, zipfile.ZIP_FILECOUNT_LIMIT
    zipfile.ZIP64_LIMIT, zipfile.ZIP_FILECOUNT_LIMIT = 16, 1
    try:
        write_zip(path, [("z64/a.txt", text(5000, 11), DEFLATED), ("z64/b.bin", noise(100, 12), STORED)])
    finally:
        zipfile.ZIP64_LIMIT, zipfile.ZIP_FILECOUNT_LIMIT = saved


def absolute_names(path, case):
    # Each name, taken literally, would point at the case folder outside the target.
    here = case.lstrip("/")
    write_zip(path, [
        ("/" + here + "/slash_escape.txt", b"slash", STORED),
        ("Z:/" + here + "/drive_escape.txt", b"drive", STORED),
        ("kept.txt", b"kept", STORED),
    ])


def dot_dot_names(path, case):
    write_zip(path, [
        ("first.txt", b"first", STORED),
        ("../up_one.txt", b"up", STORED),
        ("sub/../../up_two.txt", b"up", STORED),
        ("sub\\..\\..\\backslash_up.txt", b"up", STORED),
        ("also\\kept.txt", b"kept", STORED),
        ("last.txt", b"last", STORED),
    ])


def backslash_separators(path, case):
    write_zip(path, [("win\\dir\\file.txt", b"file", DEFLATED), ("win\\other.txt", b"other", STORED)])


def not_a_zip(path, case):
    with open(path, "wb") as out:
        out.write(text(4000, 13))


def truncated(path, case):
    payload_like(path, case)
    with open(path, "r+b") as archive:
        archive.truncate(os.path.getsize(path) // 2)


def corrupted_data(path, case):
    write_zip(path, [("good.txt", b"good", STORED), ("damaged.txt", b"original contents " * 50, STORED)])
    flip(path, b"original contents", 3)


def corrupted_deflate(path, case):
    write_zip(path, [("damaged.bin", text(50000, 14), DEFLATED)])
    data = bytearray(open(path, "rb").read())
    data[200] ^= 0x55
    open(path, "wb").write(bytes(data))


def unsupported_method(path, case):
    write_zip(path, [("odd.bin", b"odd method", STORED)])
    data = bytearray(open(path, "rb").read())
    # The method field of the local header (offset 8) and of the central record (offset 10).
    data[8] = 77
    central = data.rfind(b"PK\x01\x02")
    data[central + 10] = 77
    open(path, "wb").write(bytes(data))


def blocked_file(path, case):
    write_zip(path, [("before.txt", b"before", STORED), ("blocked.txt", b"cannot land", DEFLATED),
                     ("after.txt", b"after", STORED)])


def flip(path, marker, delta):
    data = bytearray(open(path, "rb").read())
    at = data.index(marker)
    data[at] = (data[at] + delta) & 0xFF
    open(path, "wb").write(bytes(data))


# What a case expects of both tools.
SAME_TREE = "extracts, same tree"        # exit 0, identical trees
SKIPS_BAD = "skips bad entries"          # exit non-zero, the good entries extracted alike
FAILS = "fails"                          # exit non-zero

def empty_target(target):
    os.mkdir(target)


def no_target(target):
    pass


def folder_in_the_way(target):
    # A folder that is not empty where the archive has a file: neither tool may remove it.
    os.makedirs(os.path.join(target, "blocked.txt", "keep"))


# name, archive builder (None: no archive file), target preparation, expectation
CASES = [
    ("payload layout, stored and deflated, nested folders", payload_like, empty_target, SAME_TREE),
    ("parent folders made for files without folder entries", parents_without_folder_entries, empty_target, SAME_TREE),
    ("empty files and empty folders", empty_file_and_folder, empty_target, SAME_TREE),
    ("Korean names", korean_names, empty_target, SAME_TREE),
    ("large files", large_files, empty_target, SAME_TREE),
    ("data descriptors after the data", data_descriptors, empty_target, SAME_TREE),
    ("zip64 records", zip64_records, empty_target, SAME_TREE),
    ("backslash separators of Windows archivers", backslash_separators, empty_target, SAME_TREE),
    ("absolute names are made relative to the target", absolute_names, empty_target, SAME_TREE),
    ("'..' entries are refused, the others extracted", dot_dot_names, empty_target, SKIPS_BAD),
    ("CRC mismatch in stored data", corrupted_data, empty_target, FAILS),
    ("damaged deflate stream", corrupted_deflate, empty_target, FAILS),
    ("unsupported compression method", unsupported_method, empty_target, FAILS),
    ("missing archive", None, empty_target, FAILS),
    ("not a zip archive", not_a_zip, empty_target, FAILS),
    ("truncated archive", truncated, empty_target, FAILS),
    ("a file cannot be written, the others are", blocked_file, folder_in_the_way, SKIPS_BAD),
    ("target folder missing", payload_like, no_target, FAILS),
]


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def snapshot(root, skip):
    """Every folder and file below root, with file digests, leaving out the folders in skip."""
    found = {}
    for folder, dirs, files in os.walk(root):
        dirs[:] = [d for d in dirs if os.path.join(folder, d) not in skip]
        for d in dirs:
            found[os.path.relpath(os.path.join(folder, d), root)] = "folder"
        for f in files:
            full = os.path.join(folder, f)
            with open(full, "rb") as data:
                found[os.path.relpath(full, root)] = hashlib.sha256(data.read()).hexdigest()
    return found


def run(command, cwd):
    done = subprocess.run(command, cwd=cwd, capture_output=True, timeout=180)
    return done.returncode, done.stderr.decode(errors="replace").strip()


def compare_trees(ref_root, win_root):
    ref_tree, win_tree = snapshot(ref_root, set()), snapshot(win_root, set())
    problems = []
    if ref_tree != win_tree:
        problems.append("trees differ\n  stand-in only: %s\n  bsdtar only: %s" % (
            sorted(set(win_tree.items()) - set(ref_tree.items())),
            sorted(set(ref_tree.items()) - set(win_tree.items()))))
    if not ref_tree:
        problems.append("nothing was extracted")
    return problems


def check_case(args, index, name, build, prepare, expectation):
    case = os.path.join(args.work, "case%02d" % index)
    os.makedirs(case)
    archive = os.path.join(case, "archive.zip")
    if build:
        build(archive, case)
    targets = {}
    for side in ("bsdtar", "stand-in"):
        targets[side] = os.path.join(case, side, "sandbox", "target")
        os.makedirs(os.path.dirname(targets[side]))
        prepare(targets[side])
    before = snapshot(case, set(targets.values()))
    ref_status, ref_err = run([args.bsdtar, "-xf", archive, "-C", targets["bsdtar"]], case)
    win_status, win_err = run(args.runner + [args.tar, "-xf", windows_path(archive), "-C",
                                             windows_path(targets["stand-in"])], case)
    problems = []
    # bsdtar and the stand-in end with 1 on every error; any other code means the tool did not run.
    wanted = 0 if expectation == SAME_TREE else 1
    for tool, status, err in (("stand-in", win_status, win_err), ("bsdtar", ref_status, ref_err)):
        if status != wanted:
            problems.append("%s exit status %d, expected %s\n    %s" % (tool, status, expectation, err))
    if snapshot(case, set(targets.values())) != before:
        problems.append("something was written outside the target folders")
    if prepare is no_target and any(os.path.exists(t) for t in targets.values()):
        problems.append("a missing target folder was created")
    if expectation in (SAME_TREE, SKIPS_BAD):
        problems += compare_trees(targets["bsdtar"], targets["stand-in"])
    print("[%s] %s (exit: stand-in %d, bsdtar %d)" % ("ok" if not problems else "FAILED", name,
                                                      win_status, ref_status))
    for problem in problems:
        print("    " + problem)
    return not problems


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runner", required=True, help="command that runs a Windows program under Wine")
    parser.add_argument("--tar", required=True, help="the stand-in tar.exe")
    parser.add_argument("--bsdtar", default="/usr/bin/bsdtar")
    parser.add_argument("--work", required=True, help="scratch folder, emptied first")
    args = parser.parse_args()
    args.runner = args.runner.split()
    args.tar = os.path.abspath(args.tar)
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    results = [check_case(args, i, *case) for i, case in enumerate(CASES)]
    print("%d of %d cases as expected, alike in both tools" % (sum(results), len(results)))
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main())
