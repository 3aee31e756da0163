// A program started by the benchmark and watched from outside, as the desktop sees it: nothing
// is hooked into it and it runs exactly as a user starts it. Used for the start-up figure
// (TavrinSetup.exe against the bare window program) and for the setup program's own memory.
#pragma once

#include <windows.h>
#include <psapi.h>

#include <cstdint>
#include <string>

class WatchedProcess {
public:
    // Starts exe (a Windows path) with the benchmark's environment and no arguments.
    // startCounter() is CounterNow() read right before CreateProcessW. Check started().
    explicit WatchedProcess(const std::wstring& exe);
    WatchedProcess(const WatchedProcess&) = delete;
    WatchedProcess& operator=(const WatchedProcess&) = delete;
    // Closes the program (Close with 10 s) when it still runs.
    ~WatchedProcess();

    bool started() const { return process_ != nullptr; }
    int64_t startCounter() const { return startCounter_; }
    HANDLE process() const { return process_; }
    // The window WaitForFirstPaint found; null before.
    HWND window() const { return window_; }

    // Waits for the end of the first paint of the program's window: a visible top-level window
    // of className belongs to the process, neither it nor any visible child of it has a region
    // waiting to be painted (GetUpdateRect: every WM_PAINT has been taken, which validates),
    // and a WM_NULL sent to it afterwards has come back (its thread has returned from those
    // paints to its message loop), with still nothing waiting to be painted. Polls every
    // millisecond. Returns CounterNow() when that held, or -1 when timeoutMs passed or the
    // process ended first.
    int64_t WaitForFirstPaint(const wchar_t* className, DWORD timeoutMs);

    // After WaitForFirstPaint: waits until the display shows color at the client point of the
    // window (a screen pixel read every millisecond), which is when Wine has copied the
    // window's painted surface to the X display. Returns CounterNow() then, or -1 on timeout.
    int64_t WaitUntilShown(POINT clientPoint, COLORREF color, DWORD timeoutMs) const;

    // The process's memory counters now (GetProcessMemoryInfo on its handle). False when they
    // cannot be read.
    bool Memory(PROCESS_MEMORY_COUNTERS& counters) const;

    // Closes the window as its close box would (WM_CLOSE) and waits for the process to end;
    // when it has not ended within timeoutMs it is terminated. True when it ended by itself.
    bool Close(DWORD timeoutMs);

private:
    HANDLE process_ = nullptr;
    DWORD processId_ = 0;
    HWND window_ = nullptr;
    int64_t startCounter_ = 0;
};

// Sends message to window without waiting for it to be handled, then waits (up to 30 s) until
// the window's thread has handled it: a WM_NULL sent afterwards has come back. Returns as well
// when the handler opens a modal box (whose loop handles the WM_NULL) or the window is gone.
void Deliver(HWND window, UINT message, WPARAM wParam = 0, LPARAM lParam = 0);


