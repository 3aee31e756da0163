#!/usr/bin/env python3
"""Proves tools/release/layout.py: each of its names has the value that engine/layout.h gives it.

    layout_test.py --header engine/layout.h --module tools/release/layout.py
"""

import argparse
import ast
import importlib.util
import re
import sys
import unittest

HEADER = None
MODULE = None

# Each name as the installed layout has it, written out here rather than read from either copy:
# a typo in the header or the Python copy fails this table, whatever else agrees with it.
WRITTEN = {
    "PRODUCT_NAME": "Tavrin AI",
    "PUBLISHER_NAME": "Tavrin",
    "INSTALL_FOLDER_NAME": "TavrinAI",
    "APP_FOLDER_NAME": "TavrinStudio",
    "SETUP_COPY_NAME": "TavrinSetup.exe",
    "APP_PROGRAM_NAME": "TavrinAI.exe",
    "APP_SCRIPT_NAME": "run_tavrin.bat",
    "APP_ICON_NAME": "app_icon.ico",
    "VERSION_FILE_NAME": "version.txt",
    "SHORTCUT_NAME": "Tavrin AI.lnk",
    "UNINSTALL_KEY": "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\TavrinAI",
    "UNINSTALL_DISPLAY_NAME": "DisplayName",
    "UNINSTALL_DISPLAY_VERSION": "DisplayVersion",
    "UNINSTALL_PUBLISHER": "Publisher",
    "UNINSTALL_INSTALL_LOCATION": "InstallLocation",
    "UNINSTALL_DISPLAY_ICON": "DisplayIcon",
    "UNINSTALL_STRING": "UninstallString",
    "UNINSTALL_NO_MODIFY": "NoModify",
    "UNINSTALL_NO_REPAIR": "NoRepair",
    "MODEL_ROOT_FOLDER_NAME": ".insightface",
    "MODEL_SETS_FOLDER_NAME": "models",
    "MODEL_FOLDER_NAME": "auraface",
    "MODEL_NAMES": ["scrfd_10g_bnkps.onnx", "glintr100.onnx", "genderage.onnx", "1k3d68.onnx", "2d106det.onnx"],
    "MARKER_MODEL_NAME": "glintr100.onnx",
    "USER_DATA_FOLDER_NAME": ".tavrin_ai",
    "MANIFEST_TEMP_NAME": "tavrin_latest.json",
    "PAYLOAD_TEMP_NAME": "TavrinStudio_payload.zip",
    "RESUME_RECORD_SUFFIX": ".resume",
    "MODEL_PART_SUFFIX": ".part",
    "LOG_FILE_NAME": "TavrinSetup.log",
    "OLD_LOG_FILE_NAME": "TavrinSetup.old.log",
    "USER_AGENT": "TavrinSetup/1.0",
    "MANIFEST_URL_PATH": "dist/latest.json",
    "MODEL_URL_PATH": "models/auraface/",
}

# constexpr wchar_t NAME[] = L"text";   #define NAME L"text"
SCALAR = re.compile(r'^\s*(?:constexpr\s+wchar_t\s+(\w+)\s*\[\]\s*=|#define\s+(\w+))\s*L("(?:[^"\\]|\\.)*")\s*;?\s*(?://.*)?$',
                    re.MULTILINE)
# constexpr const wchar_t* NAME[] = { L"a", L"b", };
LIST = re.compile(r'^\s*constexpr\s+const\s+wchar_t\s*\*\s*(\w+)\s*\[\]\s*=\s*\{([^}]*)\}\s*;', re.MULTILINE)
# constexpr const wchar_t* NAME = OTHER[i];
ELEMENT = re.compile(r'^\s*constexpr\s+const\s+wchar_t\s*\*\s*(\w+)\s*=\s*(\w+)\s*\[\s*(\d+)\s*\]\s*;', re.MULTILINE)


def literal(text):
    """A C string literal (without its L prefix) as a Python string."""
    return ast.literal_eval(text)


def header_names(text):
    """The header's names and their values: strings, and lists of strings."""
    names = {}
    for match in SCALAR.finditer(text):
        names[match.group(1) or match.group(2)] = literal(match.group(3))
    for match in LIST.finditer(text):
        names[match.group(1)] = [literal(item) for item in re.findall(r'L("(?:[^"\\]|\\.)*")', match.group(2))]
    for match in ELEMENT.finditer(text):
        names[match.group(1)] = names[match.group(2)][int(match.group(3))]
    return names


def module_names(module):
    return {name: value for name, value in vars(module).items()
            if name.isupper() and isinstance(value, (str, list))}


def disagreements(header, python):
    """One line for each Python name that the header lacks or gives another value."""
    lines = []
    for name, value in sorted(python.items()):
        if name not in header:
            lines.append(f"{name}: in the Python copy, not in the header")
        elif header[name] != value:
            lines.append(f"{name}: the header says {header[name]!r}, the Python copy {value!r}")
    return lines


def misspelt(names, table):
    """One line for each name of table that names holds with another value."""
    return [f"{name}: {names[name]!r}, written {value!r}" for name, value in table.items()
            if name in names and names[name] != value]


class LayoutTest(unittest.TestCase):
    def test_each_name_is_as_written(self):
        header = header_names(HEADER)
        self.assertEqual(sorted(set(WRITTEN) - set(header)), [])
        self.assertEqual(misspelt(header, WRITTEN), [])
        self.assertEqual(misspelt(module_names(MODULE), WRITTEN), [])

    def test_python_copy_agrees_with_the_header(self):
        python = module_names(MODULE)
        self.assertIn("APP_FOLDER_NAME", python)
        self.assertIn("MODEL_NAMES", python)
        self.assertEqual(disagreements(header_names(HEADER), python), [])

    def test_every_kind_of_header_line_is_read(self):
        names = header_names(HEADER)
        # One of each kind the header writes: array constant, list, list element, macro.
        for name in ("APP_FOLDER_NAME", "UNINSTALL_KEY", "MODEL_NAMES", "MARKER_MODEL_NAME", "MANIFEST_URL_PATH"):
            self.assertIn(name, names)
        self.assertEqual(names["MARKER_MODEL_NAME"], names["MODEL_NAMES"][1])
        self.assertEqual(names["UNINSTALL_KEY"].count("\\"), 5)

    def test_a_disagreement_is_told(self):
        changed = HEADER.replace('L"TavrinStudio"', 'L"TavrinStudio2"', 1).replace('L"1k3d68.onnx", ', "", 1)
        self.assertNotEqual(changed, HEADER)
        found = disagreements(header_names(changed), module_names(MODULE))
        self.assertEqual([line.split(":")[0] for line in found], ["APP_FOLDER_NAME", "MODEL_NAMES"])
        self.assertEqual([line.split(":")[0] for line in misspelt(header_names(changed), WRITTEN)],
                         ["APP_FOLDER_NAME", "MODEL_NAMES"])
        renamed = HEADER.replace("MODEL_URL_PATH", "MODELS_URL_PATH")
        self.assertEqual(disagreements(header_names(renamed), module_names(MODULE)),
                         ["MODEL_URL_PATH: in the Python copy, not in the header"])


def main():
    global HEADER, MODULE
    parser = argparse.ArgumentParser()
    parser.add_argument("--header", required=True)
    parser.add_argument("--module", required=True)
    args, rest = parser.parse_known_args()
    with open(args.header, encoding="utf-8") as f:
        HEADER = f.read()
    found = importlib.util.spec_from_file_location("layout", args.module)
    MODULE = importlib.util.module_from_spec(found)
    found.loader.exec_module(MODULE)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
