// Stage 4: prepare the install folder, remove the old app folder, extract the payload.
#pragma once

#include "engine/stage.h"

// Runs "<system folder>\tar.exe" -xf archivePath -C targetDir hidden and waits for it without a
// limit. True exactly when the tool started and exited with code 0. A path ending in a backslash
// ("D:\") gets that backslash doubled before its closing quote so that the tool reads it whole.
bool ExtractArchive(const wchar_t* archivePath, const wchar_t* targetDir);

// The whole stage on installState.installDir. Failure texts go into errorText
// (WORKER_ERROR_CAPACITY units); the result says whether the payload file is kept (Failed) or
// deleted (FailedDeletePayload). On success the payload file has been deleted; when the
// extraction fails, the partial app folder it left is removed as well. An installDir from
// which no absolute app-folder path of at most 259 units can be formed fails as a folder that
// cannot be made, and a system folder without tar.exe fails with a text of its own; both before
// anything is created or deleted.
StageResult PrepareAndExtract(const wchar_t* payloadPath, wchar_t* errorText);
