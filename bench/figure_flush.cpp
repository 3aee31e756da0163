// flush PAYLOAD ROUNDS: what flushing every staged file before the switch costs against the
// extraction itself. Each round extracts PAYLOAD into a fresh staging folder with the product's
// ExtractArchive, then flushes the staged tree with the product's FlushTree; the two times and
// the staged tree's size (the room a switch needs beside the installed app) are reported.
#include "bench/bench_clock.h"
#include "bench/figures.h"
#include "engine/durable_tree.h"
#include "engine/extract.h"
#include "engine/layout.h"
#include "engine/tree_delete.h"

#include <windows.h>

#include <string>

namespace {

ULONGLONG TreeBytes(const std::wstring& folder) {
    WIN32_FIND_DATAW entry;
    const HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) return 0;
    ULONGLONG bytes = 0;
    do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") continue;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            bytes += TreeBytes(folder + L"\\" + name);
        } else {
            bytes += (static_cast<ULONGLONG>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow;
        }
    } while (FindNextFileW(find, &entry));
    FindClose(find);
    return bytes;
}

}  // namespace

int RunFlushFigure(const wchar_t* payload, int rounds) {
    const std::wstring staging = TempFilePath(STAGING_FOLDER_NAME);
    int result = 0;
    for (int round = 0; round < rounds; ++round) {
        DeleteTree(staging.c_str());
        CreateDirectoryW(staging.c_str(), nullptr);
        const int64_t extracting = CounterNow();
        if (!ExtractArchive(payload, staging.c_str())) result = 1;
        const int64_t flushing = CounterNow();
        if (!FlushTree((staging + L"\\" + APP_FOLDER_NAME).c_str())) result = 1;
        const int64_t done = CounterNow();
        EmitSample("flush", "extract", SecondsBetween(extracting, flushing));
        EmitSample("flush", "flush", SecondsBetween(flushing, done));
        if (round == 0) EmitValue("flush_staged_bytes", static_cast<double>(TreeBytes(staging)));
    }
    DeleteTree(staging.c_str());
    return result;
}
