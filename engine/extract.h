// Stage 4: prepare the install folder, remove the old app folder, extract the payload.
#pragma once

#include "engine/stage.h"

// Runs "<system folder>\tar.exe" -xf archivePath -C targetDir hidden and waits for it without a
// limit. True exactly when the tool started and exited with code 0.
bool ExtractArchive(const wchar_t* archivePath, const wchar_t* targetDir);

// The whole stage on installState.installDir. Failure texts go into errorText; the result says
// whether the payload file is kept (Failed) or deleted (FailedDeletePayload). On success the
// payload file has been deleted.
StageResult PrepareAndExtract(const wchar_t* payloadPath, wchar_t* errorText);
