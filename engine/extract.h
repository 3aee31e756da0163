// Stage 4: prepare the install folder, remove the old app folder, extract the payload.
#pragma once

#include "engine/stage.h"

#include <windows.h>

// How the system tar tool, which reads its command line in the ANSI code page, is given the
// archive and the folder to extract into.
enum class TarForm {
    // Both paths on its command line: -xf "archivePath" -C "targetDir".
    CommandLine,
    // A path would not survive the code page: the tool runs in targetDir and reads the archive
    // from its standard input (-xf -), the one handle it inherits.
    StandardInput,
    // Neither form can work: targetDir cannot be a current folder.
    None,
};

// The form for codePage (GetACP() on the machine): CommandLine when both paths convert to it with
// no loss (no default character, no best-fit look-alike; a UTF-8 code page holds everything),
// otherwise StandardInput when targetDir is absolute and short enough for a current folder,
// otherwise None.
TarForm ChooseTarForm(UINT codePage, const wchar_t* archivePath, const wchar_t* targetDir);

// Runs "<system folder>\tar.exe" hidden in the form ChooseTarForm gives for the ANSI code page
// and waits for it without a limit. True exactly when the tool started and exited with code 0.
// On the command line a path ending in a backslash ("D:\") gets that backslash doubled before its
// closing quote so that the tool reads it whole.
bool ExtractArchive(const wchar_t* archivePath, const wchar_t* targetDir);

// The whole stage on installState.installDir. Failure texts go into errorText
// (WORKER_ERROR_CAPACITY units); the result says whether the payload file is kept (Failed) or
// deleted (FailedDeletePayload). On success the payload file has been deleted; when the
// extraction fails, the partial app folder it left is removed as well. An installDir from
// which no absolute app-folder path of at most 259 units can be formed fails as a folder that
// cannot be made, and a system folder without tar.exe fails with a text of its own; both before
// anything is created or deleted. Paths for which no form of the tool's command can work
// (TarForm::None) fail with the extraction text before the old app folder is touched.
StageResult PrepareAndExtract(const wchar_t* payloadPath, wchar_t* errorText);
