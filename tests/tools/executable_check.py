#!/usr/bin/env python3
"""Checks the built TavrinSetup.exe as a file: a 64-bit GUI program of at most 150 KiB that
imports from Windows system DLLs only, and whose resources are the logo, the icon group, the
licence text and the version block, with no application manifest. It prints the size of each
section, so that a file grown past the limit shows where the growth is.

With --res RES_DIR it also redraws the images with RES_DIR/draw_images.py, requires the result
to equal the committed logo.bmp and app.ico byte for byte, and requires the executable to carry
exactly those images.

Usage: executable_check.py EXE --objdump OBJDUMP [--res RES_DIR]
"""
import argparse
import os
import struct
import subprocess
import sys
import tempfile

RT_ICON, RT_BITMAP, RT_RCDATA, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 2, 10, 14, 16, 24
IDB_LOGO, IDI_APP, IDR_LICENSE, VERSION_ID = 101, 102, 103, 1
BACKGROUND_BGR = bytes((26, 24, 22))  # RGB(22, 24, 26)
ICON_SIZES = [16, 24, 32, 48, 64, 128, 256]
# The whole file, resources included: what a user downloads before anything else happens.
MAX_FILE_BYTES = 150 * 1024

# Windows system DLLs. msvcrt.dll is the C runtime that ships with every Windows and that
# mingw-w64 links against; the compiler's own runtimes (libstdc++, libgcc, winpthread) must be
# linked in statically and never appear here.
ALLOWED_DLLS = {name.lower() + ".dll" for name in (
    "KERNEL32", "USER32", "GDI32", "ADVAPI32", "SHELL32", "SHLWAPI", "OLE32", "OLEAUT32",
    "WINHTTP", "BCRYPT", "DWMAPI", "COMCTL32", "COMDLG32", "MSVCRT")}

VERSION_STRINGS = {
    "CompanyName": "Tavrin",
    "FileDescription": "Tavrin AI Setup",
    "ProductName": "Tavrin AI",
    "FileVersion": "1.2.1.0",
    "ProductVersion": "1.2.1.0",
}


class Checker:
    def __init__(self):
        self.failures = []

    def expect(self, condition, message):
        if not condition:
            self.failures.append(message)
        return condition


# --- PE headers and the import table, through objdump ---------------------------------------

def check_headers_and_imports(check, exe, objdump):
    text = subprocess.run([objdump, "-p", exe], capture_output=True, text=True, check=True).stdout
    check.expect("file format pei-x86-64" in text, "not a PE32+ x86-64 image (pei-x86-64)")
    check.expect(any(line.split()[:2] == ["Magic", "020b"] for line in text.splitlines() if line.strip()),
                 "optional header magic is not 020b (PE32+)")
    subsystem = [line.split()[1] for line in text.splitlines() if line.startswith("Subsystem")]
    check.expect(subsystem == ["00000002"], "subsystem is %s, not 2 (Windows GUI)" % subsystem)
    dlls = [line.split(":", 1)[1].strip() for line in text.splitlines() if "DLL Name:" in line]
    check.expect("kernel32.dll" in (d.lower() for d in dlls), "no import table found (KERNEL32 missing)")
    for dll in dlls:
        check.expect(dll.lower() in ALLOWED_DLLS, "imports from a non-system DLL: %s" % dll)
    return dlls


# --- the section table and the file size ---------------------------------------------------

def pe_headers(image):
    """(offset of the optional header, its size, number of sections) of a PE32+ image."""
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    if image[pe:pe + 4] != b"PE\0\0":
        raise ValueError("no PE signature")
    sections_count, optional_size = struct.unpack_from("<H12xH", image, pe + 6)
    optional = pe + 24
    if struct.unpack_from("<H", image, optional)[0] != 0x20B:
        raise ValueError("not a PE32+ optional header")
    return optional, optional_size, sections_count


def read_sections(image):
    """[(name, rva, virtual size, raw size in the file, raw offset)] in the order of the table."""
    optional, optional_size, sections_count = pe_headers(image)
    sections = []
    for i in range(sections_count):
        entry = optional + optional_size + 40 * i
        name = image[entry:entry + 8].rstrip(b"\0").decode("ascii", "replace")
        virtual_size, rva, raw_size, raw_offset = struct.unpack_from("<IIII", image, entry + 8)
        sections.append((name, rva, virtual_size, raw_size, raw_offset))
    return sections


def check_size(check, image):
    """Prints the file's size and each section's, then requires the file to fit the limit."""
    print("file: %d bytes (%.1f KiB), at most %d bytes (%.0f KiB) allowed"
          % (len(image), len(image) / 1024, MAX_FILE_BYTES, MAX_FILE_BYTES / 1024))
    sections = read_sections(image)
    headers = min((raw_offset for _, _, _, raw_size, raw_offset in sections if raw_size), default=len(image))
    print("  %-8s %9s %9s" % ("section", "in file", "in memory"))
    print("  %-8s %9d %9s" % ("headers", headers, ""))
    for name, _, virtual_size, raw_size, _ in sections:
        print("  %-8s %9d %9d" % (name, raw_size, virtual_size))
    check.expect(len(image) <= MAX_FILE_BYTES, "the file is %d bytes, more than %d (%.0f KiB); the link map "
                 "TavrinSetup.map beside it shows what each library contributes"
                 % (len(image), MAX_FILE_BYTES, MAX_FILE_BYTES / 1024))


# --- the resource section, parsed here ------------------------------------------------------

def read_resources(image):
    """{(type, name, language): bytes} for every resource; string names stay strings."""
    optional, _, _ = pe_headers(image)
    directories_count = struct.unpack_from("<I", image, optional + 108)[0]
    if directories_count <= 2:
        return {}
    resource_rva, resource_size = struct.unpack_from("<II", image, optional + 112 + 2 * 8)
    if resource_rva == 0 or resource_size == 0:
        return {}
    sections = [(rva, max(virtual_size, raw_size), raw_offset)
                for _, rva, virtual_size, raw_size, raw_offset in read_sections(image)]

    def offset_of(address):
        for rva, size, raw in sections:
            if rva <= address < rva + size:
                return raw + address - rva
        raise ValueError("RVA %#x lies in no section" % address)

    base = offset_of(resource_rva)

    def entries(directory):
        named, numbered = struct.unpack_from("<HH", image, base + directory + 12)
        for i in range(named + numbered):
            name, target = struct.unpack_from("<II", image, base + directory + 16 + 8 * i)
            if name & 0x80000000:
                length = struct.unpack_from("<H", image, base + (name & 0x7FFFFFFF))[0]
                start = base + (name & 0x7FFFFFFF) + 2
                name = image[start:start + 2 * length].decode("utf-16-le")
            yield name, target

    found = {}
    for kind, types in entries(0):
        for name, names in entries(types & 0x7FFFFFFF):
            for language, leaf in entries(names & 0x7FFFFFFF):
                if leaf & 0x80000000:
                    raise ValueError("resource tree deeper than type/name/language")
                data_rva, size = struct.unpack_from("<II", image, base + leaf)
                start = offset_of(data_rva)
                found[(kind, name, language)] = bytes(image[start:start + size])
    return found


def find(resources, kind, name):
    """Data of every language of one resource."""
    return [data for (k, n, _), data in resources.items() if k == kind and n == name]


def only(check, resources, kind, name, label):
    matches = find(resources, kind, name)
    check.expect(len(matches) == 1, "%s: expected one resource, found %d" % (label, len(matches)))
    return matches[0] if matches else None


def check_logo(check, data):
    size, width, height, planes, bpp, compression = struct.unpack_from("<IiiHHI", data, 0)
    check.expect((size, width, abs(height), planes, bpp, compression) == (40, 64, 64, 1, 24, 0),
                 "logo: header says %dx%d, %d bpp, compression %d, header size %d"
                 % (width, height, bpp, compression, size))
    if not check.expect(len(data) >= 40 + 64 * 64 * 3, "logo: pixel data too short"):
        return
    for x, y in ((0, 0), (63, 0), (0, 63), (63, 63)):
        at = 40 + (y * 64 + x) * 3
        check.expect(data[at:at + 3] == BACKGROUND_BGR,
                     "logo: corner pixel (%d, %d) is BGR %s, not RGB(22, 24, 26)" % (x, y, tuple(data[at:at + 3])))


def icon_image_size(data):
    """(width, height, bits per pixel) of an RT_ICON image, DIB or PNG."""
    if data.startswith(b"\x89PNG\r\n\x1a\n"):
        width, height, depth, colour_type = struct.unpack_from(">IIBB", data, 16)
        return width, height, 32 if (depth, colour_type) == (8, 6) else depth
    _, width, height, _, bpp = struct.unpack_from("<IiiHH", data, 0)
    return width, height // 2, bpp


def check_icon_group(check, group, resources):
    reserved, kind, count = struct.unpack_from("<HHH", group, 0)
    check.expect((reserved, kind, count) == (0, 1, 7), "icon group: header %s, expected 7 icons" % ((reserved, kind, count),))
    sizes = []
    for i in range(count):
        width, height, _, _, planes, bpp, length, icon_id = struct.unpack_from("<BBBBHHIH", group, 6 + 14 * i)
        width, height = width or 256, height or 256
        sizes.append(width)
        check.expect(width == height and bpp == 32, "icon group: entry %d is %dx%d, %d bpp" % (i, width, height, bpp))
        image = only(check, resources, RT_ICON, icon_id, "icon %d" % icon_id)
        if image is not None:
            check.expect(len(image) == length, "icon %d: size %d, the group says %d" % (icon_id, len(image), length))
            check.expect(icon_image_size(image) == (width, width, 32),
                         "icon %d: image is %s, the group says %dx%d, 32 bpp" % (icon_id, icon_image_size(image), width, width))
    check.expect(sorted(sizes) == ICON_SIZES, "icon group: sizes %s, expected %s" % (sorted(sizes), ICON_SIZES))


def check_licence(check, data):
    check.expect(len(data) > 0, "licence: empty")
    check.expect(not data.startswith(b"\xef\xbb\xbf"), "licence: starts with a byte-order mark")
    check.expect(b"\r" not in data, "licence: contains CR; line ends must be LF only")
    try:
        text = data.decode("utf-8")
        check.expect(any("\uac00" <= c <= "\ud7a3" for c in text), "licence: no Korean text")
    except UnicodeDecodeError as error:
        check.expect(False, "licence: not valid UTF-8 (%s)" % error)


def version_blocks(data, offset, end):
    """Yields (key, value bytes, children offset range) of the blocks between offset and end."""
    while offset + 6 <= end:
        length, value_length, kind = struct.unpack_from("<HHH", data, offset)
        if length == 0:
            break
        key_end = offset + 6
        while data[key_end:key_end + 2] != b"\0\0":
            key_end += 2
        key = data[offset + 6:key_end].decode("utf-16-le")
        value_start = (key_end + 2 + 3) & ~3
        value_size = value_length * 2 if kind == 1 else value_length
        value = data[value_start:value_start + value_size]
        children = ((value_start + value_size + 3) & ~3, offset + length)
        yield key, value, children
        offset = (offset + length + 3) & ~3


def check_version(check, data):
    blocks = list(version_blocks(data, 0, len(data)))
    if not check.expect(len(blocks) == 1 and blocks[0][0] == "VS_VERSION_INFO", "version: no VS_VERSION_INFO root"):
        return
    _, fixed, (start, end) = blocks[0]
    signature, _, file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<6I", fixed, 0)
    check.expect(signature == 0xFEEF04BD, "version: bad fixed-info signature")
    wanted = ((1 << 16) | 2, 1 << 16)  # 1.2.1.0
    check.expect((file_ms, file_ls) == wanted, "version: file version is not 1.2.1.0")
    check.expect((product_ms, product_ls) == wanted, "version: product version is not 1.2.1.0")
    children = {key: (value, inner) for key, value, inner in version_blocks(data, start, end)}
    tables = {key.lower(): inner for key, _, inner in version_blocks(data, *children.get("StringFileInfo", (b"", (0, 0)))[1])}
    if check.expect("041204b0" in tables, "version: no string table 041204b0 (found %s)" % sorted(tables)):
        strings = {key: value.decode("utf-16-le").rstrip("\0") for key, value, _ in version_blocks(data, *tables["041204b0"])}
        for key, wanted_text in VERSION_STRINGS.items():
            check.expect(strings.get(key) == wanted_text,
                         "version: %s is %r, expected %r" % (key, strings.get(key), wanted_text))
    variables = {key: value for key, value, _ in version_blocks(data, *children.get("VarFileInfo", (b"", (0, 0)))[1])}
    check.expect(variables.get("Translation") == struct.pack("<HH", 0x0412, 1200),
                 "version: Translation is not 0x0412, 1200")


def check_resources(check, image):
    resources = read_resources(image)
    manifests = [key for key in resources if key[0] == RT_MANIFEST]
    check.expect(not manifests, "carries an application manifest: %s" % manifests)
    logo = only(check, resources, RT_BITMAP, IDB_LOGO, "bitmap 101")
    if logo is not None:
        check_logo(check, logo)
    group = only(check, resources, RT_GROUP_ICON, IDI_APP, "icon group 102")
    if group is not None:
        check_icon_group(check, group, resources)
    licence = only(check, resources, RT_RCDATA, IDR_LICENSE, "RCDATA 103")
    if licence is not None:
        check_licence(check, licence)
    version = only(check, resources, RT_VERSION, VERSION_ID, "version 1")
    if version is not None:
        check_version(check, version)
    return resources


# --- the committed images against the script and the executable ------------------------------

def check_drawn_images(check, res_dir, resources):
    with tempfile.TemporaryDirectory() as scratch:
        subprocess.run([sys.executable, os.path.join(res_dir, "draw_images.py"), scratch], check=True)
        for name in ("logo.bmp", "app.ico"):
            with open(os.path.join(scratch, name), "rb") as drawn, open(os.path.join(res_dir, name), "rb") as kept:
                check.expect(drawn.read() == kept.read(), "%s differs from what draw_images.py draws" % name)
    with open(os.path.join(res_dir, "logo.bmp"), "rb") as logo:
        dib = logo.read()[14:]
    check.expect(find(resources, RT_BITMAP, IDB_LOGO) == [dib], "the executable's logo is not res/logo.bmp")
    with open(os.path.join(res_dir, "app.ico"), "rb") as icon:
        ico = icon.read()
    count = struct.unpack_from("<H", ico, 4)[0]
    kept_images = sorted(ico[offset:offset + length] for length, offset in
                         (struct.unpack_from("<II", ico, 6 + 16 * i + 8) for i in range(count)))
    exe_images = sorted(data for (kind, _, _), data in resources.items() if kind == RT_ICON)
    check.expect(kept_images == exe_images, "the executable's icons are not those of res/app.ico")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("exe")
    parser.add_argument("--objdump", default="x86_64-w64-mingw32-objdump")
    parser.add_argument("--res", help="the res folder: also check the images against draw_images.py")
    args = parser.parse_args()
    check = Checker()
    dlls = check_headers_and_imports(check, args.exe, args.objdump)
    with open(args.exe, "rb") as exe:
        image = exe.read()
    try:
        check_size(check, image)
        resources = check_resources(check, image)
        if args.res:
            check_drawn_images(check, args.res, resources)
    except (ValueError, struct.error, IndexError) as error:
        check.expect(False, "cannot read the resources: %s" % error)
    print("imports: " + ", ".join(dlls))
    for failure in check.failures:
        print("FAILED: " + failure)
    print("executable check: %s" % ("passed" if not check.failures else "%d problem(s)" % len(check.failures)))
    return 0 if not check.failures else 1


if __name__ == "__main__":
    sys.exit(main())
