// The setup log: what a run did, in the user's temporary folder, for the user to send us when
// something went wrong. One UTF-8 line per event:
//
//   2026-12-11 05:01:10.101 | stage | event | result | error 12029
//
// local time to the millisecond, the stage, the event, its result and, where a system call
// failed, its Win32 or WinHTTP error code (or its HRESULT or NTSTATUS). The current run writes
// LOG_FILE_NAME; the run before it is kept as OLD_LOG_FILE_NAME. Each file holds at most
// LOG_LIMIT_BYTES: later lines are dropped, and one last line says so.
//
// Writing the log never changes what the program does: every function here returns nothing, a
// log that cannot be opened or written is skipped without a word, and the thread's last error is
// the same after a call as before it. Each line is appended and its file closed at once, so a
// kill at any moment leaves a readable log, and the file is shared so that the user can open it
// while setup runs. Any thread may log; a lock keeps the lines whole. No heap is used: each line
// is formed in a fixed static buffer, cut to LOG_LINE_CAPACITY units.
#pragma once

#include <windows.h>

#include <cstdint>

constexpr LONGLONG LOG_LIMIT_BYTES = 1 << 20;  // per file, the line that says it is full included
constexpr size_t LOG_LINE_CAPACITY = 1024;     // UTF-16 units of one line, terminator included

// Starts this process's log. The previous run's log replaces the old log, and the first line
// names the program's version and the mode ("install" or "uninstall"). Called once, by the
// instance that goes on, before anything else is logged; a process that never calls it (a
// second instance stepping aside, a test) appends to the current log.
void BeginSetupLog(const wchar_t* mode);

// One line. result may be nullptr (no result field).
void LogEvent(const wchar_t* stage, const wchar_t* event, const wchar_t* result = nullptr);
// One line with a text after the event (a URL, a path, a version, a status text), for events
// whose subject is not a constant. The result may be nullptr.
void LogEventAbout(const wchar_t* stage, const wchar_t* event, const wchar_t* subject, const wchar_t* result);

// A system call that failed, with the error it gave (GetLastError, an LSTATUS, a WinHTTP error);
// subject (may be nullptr) names what it was called on.
void LogFailedCall(const wchar_t* stage, const wchar_t* call, const wchar_t* subject, DWORD error);
// A call that failed with a 32-bit status of its own (a COM method's HRESULT, a BCrypt NTSTATUS),
// written in hexadecimal.
void LogFailedStatus(const wchar_t* stage, const wchar_t* call, const wchar_t* subject, LONG status);

// A retry of a call that failed (attempt counts from 1 for the first retry), and the error that
// made it necessary.
void LogRetry(const wchar_t* stage, const wchar_t* call, unsigned attempt, DWORD error);
// A transfer taken up again at offset bytes (0: from the start), and why the try before ended.
void LogResume(const wchar_t* stage, const wchar_t* subject, uint64_t offset, const wchar_t* reason);

// The start of a stage; returns its start time (GetTickCount64) for LogStageEnd.
ULONGLONG LogStageStart(const wchar_t* stage);
// The end of a stage with its result ("ok", "failed", "skipped", ...) and its duration since
// started.
void LogStageEnd(const wchar_t* stage, ULONGLONG started, const wchar_t* result);

// The text the run ended with, as the user saw it (the worker's last status, the uninstall's
// last box).
void LogFinalText(const wchar_t* stage, const wchar_t* text);

// MessageBoxW, and a line with the box's text and the answer. Returns what MessageBoxW returned.
int LoggedMessageBox(HWND owner, const wchar_t* text, const wchar_t* caption, UINT type);
