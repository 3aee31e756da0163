"""The installed layout as the setup program knows it, for the release tool and the test bed.

The setup program keeps these names in engine/layout.h; this is the Python copy of those that the
release tool and the bed's scripts need. tests/tools/layout_test.py fails when the two disagree.
"""

# Inside the install folder: the one top-level folder of the payload archive.
APP_FOLDER_NAME = "TavrinStudio"
# Inside the app folder.
APP_PROGRAM_NAME = "TavrinAI.exe"
APP_SCRIPT_NAME = "run_tavrin.bat"
APP_ICON_NAME = "app_icon.ico"
VERSION_FILE_NAME = "version.txt"

# The face-analysis models, in the order the setup program fetches them.
MODEL_NAMES = ["scrfd_10g_bnkps.onnx", "glintr100.onnx", "genderage.onnx", "1k3d68.onnx", "2d106det.onnx"]

# How the setup program introduces itself to the release host.
USER_AGENT = "TavrinSetup/1.0"

# Paths on the release host below its base URL.
MANIFEST_URL_PATH = "dist/latest.json"
MODEL_URL_PATH = "models/auraface/"
