// The installed layout: every name that an install writes and the uninstaller removes, and where
// the release host keeps a release. Each is written here once; install, uninstall, the wizard,
// the tests and the benchmarks ask this header. The release tool and the test bed keep a Python
// copy (tools/release/layout.py), which a test compares with this file.
#pragma once

#include "engine/paths.h"

#include <algorithm>
#include <iterator>

// The product as the uninstall entry, the shortcuts, the message boxes and the wizard's header
// name it.
constexpr wchar_t PRODUCT_NAME[] = L"Tavrin AI";
constexpr wchar_t PUBLISHER_NAME[] = L"Tavrin";

// The last part of the default install folder, also appended to a folder chosen in the dialog.
constexpr wchar_t INSTALL_FOLDER_NAME[] = L"TavrinAI";
// Inside the install folder: the app folder that the payload archive creates, and the setup copy
// that the uninstall entry starts.
constexpr wchar_t APP_FOLDER_NAME[] = L"TavrinStudio";
constexpr wchar_t SETUP_COPY_NAME[] = L"TavrinSetup.exe";
// Also inside the install folder, while an update switches app folders (app_switch.h): the
// staging folder the payload is extracted into (the new app folder appears inside it), the
// previous app folder set aside, and the journal that names the step. The setup copy is written
// under a name of its own first and then moved over the previous one.
constexpr wchar_t STAGING_FOLDER_NAME[] = L"TavrinStudio.new";
constexpr wchar_t ASIDE_FOLDER_NAME[] = L"TavrinStudio.old";
constexpr wchar_t SWITCH_JOURNAL_NAME[] = L"TavrinSetup.switch";
constexpr wchar_t SETUP_COPY_TEMP_NAME[] = L"TavrinSetup.new";  // no longer than the setup copy's name
// Inside the app folder.
constexpr wchar_t APP_PROGRAM_NAME[] = L"TavrinAI.exe";
constexpr wchar_t APP_SCRIPT_NAME[] = L"run_tavrin.bat";  // launched when the program is absent
constexpr wchar_t APP_ICON_NAME[] = L"app_icon.ico";
constexpr wchar_t VERSION_FILE_NAME[] = L"version.txt";

// The longest name of a file in the app folder, in units without the terminator.
constexpr size_t LONGEST_APP_FILE_NAME_LENGTH =
    std::max({std::size(APP_PROGRAM_NAME), std::size(APP_SCRIPT_NAME), std::size(APP_ICON_NAME),
              std::size(VERSION_FILE_NAME)}) - 1;
// "\<staging>\<app folder>\<file>" (the longest path the switch forms; the installed
// "\<app folder>\<file>" is shorter) or "\<setup copy's temporary name>", whichever is longer.
constexpr size_t LONGEST_INSTALLED_SUFFIX_LENGTH =
    std::max(1 + (std::size(STAGING_FOLDER_NAME) - 1) + 1 + (std::size(APP_FOLDER_NAME) - 1) + 1 +
                 LONGEST_APP_FILE_NAME_LENGTH,
             1 + (std::size(SETUP_COPY_TEMP_NAME) - 1));
// The longest install folder, in units without the terminator: every path that an install forms
// from the folder must fit PATH_CAPACITY with its terminator, or the install would end without
// what that path names (a shortcut, the setup copy, the uninstall entry).
constexpr size_t MAX_INSTALL_DIR_LENGTH = PATH_CAPACITY - 1 - LONGEST_INSTALLED_SUFFIX_LENGTH;

// The link in the Programs folder and, when wanted, on the desktop.
constexpr wchar_t SHORTCUT_NAME[] = L"Tavrin AI.lnk";

// The per-user uninstall entry under HKEY_CURRENT_USER and the names of its eight values.
constexpr wchar_t UNINSTALL_KEY[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\TavrinAI";
constexpr wchar_t UNINSTALL_DISPLAY_NAME[] = L"DisplayName";
constexpr wchar_t UNINSTALL_DISPLAY_VERSION[] = L"DisplayVersion";
constexpr wchar_t UNINSTALL_PUBLISHER[] = L"Publisher";
constexpr wchar_t UNINSTALL_INSTALL_LOCATION[] = L"InstallLocation";
constexpr wchar_t UNINSTALL_DISPLAY_ICON[] = L"DisplayIcon";
constexpr wchar_t UNINSTALL_STRING[] = L"UninstallString";
constexpr wchar_t UNINSTALL_NO_MODIFY[] = L"NoModify";
constexpr wchar_t UNINSTALL_NO_REPAIR[] = L"NoRepair";

// The model folder, <user profile>\.insightface\models\auraface. The first two parts may be
// shared with other programs: only the last is ours.
constexpr wchar_t MODEL_ROOT_FOLDER_NAME[] = L".insightface";
constexpr wchar_t MODEL_SETS_FOLDER_NAME[] = L"models";
constexpr wchar_t MODEL_FOLDER_NAME[] = L"auraface";
// The face-analysis models, in the order they are fetched.
constexpr const wchar_t* MODEL_NAMES[] = {
    L"scrfd_10g_bnkps.onnx", L"glintr100.onnx", L"genderage.onnx", L"1k3d68.onnx", L"2d106det.onnx",
};
constexpr int MODEL_COUNT = static_cast<int>(std::size(MODEL_NAMES));
// The model whose presence the application and older setup programs take for a finished
// provisioning (this program checks every model on every run).
constexpr const wchar_t* MARKER_MODEL_NAME = MODEL_NAMES[1];

// The application's own per-user data folder in the user profile; the setup program only
// deletes it, on uninstall.
constexpr wchar_t USER_DATA_FOLDER_NAME[] = L".tavrin_ai";

// The worker's files in the user's temporary folder.
constexpr wchar_t MANIFEST_TEMP_NAME[] = L"tavrin_latest.json";
constexpr wchar_t SIGNATURE_TEMP_NAME[] = L"tavrin_latest.json.sig";
constexpr wchar_t PAYLOAD_TEMP_NAME[] = L"TavrinStudio_payload.zip";
// Beside a download kept for a later attempt (the payload, a model's partial file): the name of
// that file with this appended holds its URL and validator.
constexpr wchar_t RESUME_RECORD_SUFFIX[] = L".resume";
// A model is received under its name with this appended, and takes its name once whole.
constexpr wchar_t MODEL_PART_SUFFIX[] = L".part";
// The setup log of this run and of the run before it (setup_log.h); install and uninstall both
// write them.
constexpr wchar_t LOG_FILE_NAME[] = L"TavrinSetup.log";
constexpr wchar_t OLD_LOG_FILE_NAME[] = L"TavrinSetup.old.log";

// How the program introduces itself to the release host.
constexpr wchar_t USER_AGENT[] = L"TavrinSetup/1.0";

// Paths on the release host below its base URL. Macros so that release_host.cpp can join them to
// the base, itself fixed by the build, into its buffers at compile time.
#define MANIFEST_URL_PATH L"dist/latest.json"
#define MODEL_URL_PATH L"models/auraface/"
// A model's digest in the manifest is the member "digest:<model name>": never the quoted "url",
// "version" or "sha256" that the manifest reader looks for anywhere in the text.
constexpr char MODEL_DIGEST_KEY_PREFIX[] = "digest:";
// The published sizes in bytes, as decimal text: the payload's "size", a model's "size:<model name>".
constexpr char PAYLOAD_SIZE_KEY[] = "size";
constexpr char MODEL_SIZE_KEY_PREFIX[] = "size:";
// When a signed manifest stops being valid: UTC, "YYYY-MM-DDTHH:MM:SSZ".
constexpr char MANIFEST_EXPIRES_KEY[] = "expires";

// %USERPROFILE%, whole. False (out empty) when it is unset, empty or does not fit 260 units: a
// cut or missing value must never become a folder that anything is written or deleted in.
bool GetUserProfile(wchar_t (&out)[PATH_CAPACITY]);

// This user's model folder: the user profile joined with ".insightface", "models", "auraface".
// False (out empty) when the profile cannot be read whole or the path does not fit 260 units.
bool GetModelFolder(wchar_t (&out)[PATH_CAPACITY]);

// The payload file: the temporary folder joined with "TavrinStudio_payload.zip". False (out
// empty) when the temporary folder cannot be read or the path does not fit 260 units.
bool GetPayloadPath(wchar_t (&out)[PATH_CAPACITY]);

// What a shortcut and the finished page launch: appFolder joined with "TavrinAI.exe" when that
// file exists, otherwise with "run_tavrin.bat", whose own presence is not tested. False (out
// empty) when appFolder is not absolute or the path does not fit 260 units.
bool GetLaunchTarget(wchar_t (&out)[PATH_CAPACITY], const wchar_t* appFolder);
