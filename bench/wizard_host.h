// The real wizard window on the bench's main thread: the program's own window procedure
// (SetupWndProc) with its controls, fonts, logo and painting, shown on the bed's display, so that
// every report the install engine posts is handled and repainted as in the program. A thin
// procedure in front of it records what arrives and answers the bench's probe messages.
#pragma once

#include "tests/support/thread_run.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <vector>

// Posted by the prober thread; lParam carries CounterNow() at the time of posting.
constexpr UINT WM_BENCH_PROBE = WM_APP + 0x40;

class WizardHost {
public:
    // Creates and shows the wizard (licence page; "설치 후 바로 실행" unticked so that a finished
    // install launches nothing). One host per process. ok() tells whether the window exists.
    WizardHost();
    WizardHost(const WizardHost&) = delete;
    WizardHost& operator=(const WizardHost&) = delete;
    ~WizardHost();

    bool ok() const { return window_ != nullptr; }
    HWND window() const { return window_; }

    // The window as an attempt leaves it while a download runs: progress page, busy, the marquee
    // timer running (what the wizard does when "설치" is pressed, without starting a worker).
    void EnterProgressPage();
    // Back to the location page, idle, timer stopped; a finished page is left as well.
    void LeaveProgressPage();
    // Shows or hides the window. A hidden window handles every message the same way but gets
    // no WM_PAINT: what the reports cost without the drawing.
    void SetVisible(bool visible);

    // Starts InstallWorker for installDir as the wizard's "설치" does and pumps until the worker
    // has ended. Returns the seconds from the start to the handling of WM_SETUP_DONE, or a
    // negative value when it timed out or the attempt did not succeed (doneValue() tells).
    double RunInstall(const wchar_t* installDir, DWORD timeoutMs);

    // Posts WM_BENCH_PROBE every periodMs from a thread of its own until StopProbing.
    void StartProbing(DWORD periodMs);
    void StopProbing();

    // What arrived since the last ClearRecords (window thread only).
    void ClearRecords();
    // Handling delay of each probe, milliseconds.
    const std::vector<double>& probeDelaysMs() const { return probeDelaysMs_; }
    // Post time (GetMessageTime, milliseconds) of each WM_SETUP_STATUS.
    const std::vector<DWORD>& statusPostTimes() const { return statusPostTimes_; }
    // Handling delay of each WM_SETUP_STATUS: tick count at handling minus its post time, ms.
    const std::vector<DWORD>& statusDelaysMs() const { return statusDelaysMs_; }
    int progressCount() const { return progressCount_; }
    // WM_PAINT handled, and the milliseconds spent in each.
    const std::vector<double>& paintMs() const { return paintMs_; }
    // wParam of the last WM_SETUP_DONE, -1 when none arrived.
    int doneValue() const { return doneValue_; }

    // Called by the window procedure.
    LRESULT Handle(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

private:
    HWND window_ = nullptr;
    HANDLE prober_ = nullptr;
    std::atomic<bool> stopProbing_{false};
    DWORD probePeriodMs_ = 2;
    std::vector<double> probeDelaysMs_;
    std::vector<DWORD> statusPostTimes_;
    std::vector<DWORD> statusDelaysMs_;
    std::vector<double> paintMs_;
    int progressCount_ = 0;
    int doneValue_ = -1;
    int64_t doneCounter_ = 0;
    double ticksPerMs_ = 1.0;

    static DWORD WINAPI ProbeThread(LPVOID self);
};
