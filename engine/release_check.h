// Stage 1: fetch and read the release manifest, ask before reinstalling the same version.
#pragma once

#include "engine/stage.h"

#include <cstddef>

// Fills installState.releaseUrl, releaseVersion and releaseSha256 from the manifest at
// manifestUrl. releaseSha256 ends up empty (no sha256 member: unverified) or 64 hexadecimal
// digits; a sha256 member with anything else makes the manifest invalid ("버전 파일 형식 오류").
// On a failure writes the reason into errorText (WORKER_ERROR_CAPACITY units) and returns Failed; when the same version is installed and the user does not answer Yes, returns
// Skipped. Worker thread only.
StageResult RunReleaseCheck(wchar_t* errorText);

// The installed version from installDir\TavrinStudio\version.txt, read as the release check does
// (63 bytes, UTF-8, cut at CR, LF or space; nothing else trimmed). Empty when the file is missing,
// unreadable or empty, when installDir yields no valid path, and when the version does not fit
// out (never a cut version). out: capacity in units (64 is enough), terminator included.
void ReadInstalledVersion(const wchar_t* installDir, wchar_t* out, size_t capacity);
