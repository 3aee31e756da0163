#include "bench/wizard_host.h"

#include "bench/bench_clock.h"
#include "engine/install_state.h"
#include "engine/install_worker.h"
#include "res/resource.h"
#include "window/controls.h"
#include "window/setup_window.h"
#include "window/wizard.h"

namespace {

constexpr wchar_t HOST_CLASS[] = L"TavrinBenchWizard";
constexpr DWORD WINDOW_STYLE = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr size_t RECORD_RESERVE = 1 << 16;

// The one host of the process; set before the window is created so WM_CREATE reaches it.
WizardHost* currentHost = nullptr;

LRESULT CALLBACK HostWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (currentHost) return currentHost->Handle(window, message, wParam, lParam);
    return SetupWndProc(window, message, wParam, lParam);
}

}  // namespace

WizardHost::WizardHost() {
    currentHost = this;
    ticksPerMs_ = static_cast<double>(CounterFrequency()) / 1000.0;
    probeDelaysMs_.reserve(RECORD_RESERVE);
    statusPostTimes_.reserve(RECORD_RESERVE);
    statusDelaysMs_.reserve(RECORD_RESERVE);
    paintMs_.reserve(RECORD_RESERVE);

    HINSTANCE instance = GetModuleHandleW(nullptr);
    // What RunSetupWizard does before it creates the window: the logo.
    LoadLogo(instance);
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = HostWndProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_APP));
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.lpszClassName = HOST_CLASS;
    RegisterClassW(&windowClass);

    RECT frame{0, 0, 600, 520};
    AdjustWindowRect(&frame, WINDOW_STYLE, FALSE);
    window_ = CreateWindowExW(0, HOST_CLASS, L"Tavrin AI 설치", WINDOW_STYLE, 40, 40, frame.right - frame.left,
                              frame.bottom - frame.top, nullptr, nullptr, instance, nullptr);
    if (!window_) return;
    SendMessageW(controls.runAfter, BM_SETCHECK, BST_UNCHECKED, 0);
    ShowWindow(window_, SW_SHOW);
    UpdateWindow(window_);
    PumpMessages();
}

WizardHost::~WizardHost() {
    StopProbing();
    if (window_) {
        KillTimer(window_, IDT_MARQUEE);
        installState.busy = false;
        DestroyWindow(window_);
        PumpMessages();
    }
    if (logoBitmap) DeleteObject(logoBitmap);
    logoBitmap = nullptr;
    currentHost = nullptr;
}

void WizardHost::EnterProgressPage() {
    installState.cancelRequested = false;
    installState.busy = true;
    installState.finished = false;
    ShowWizardPage(PAGE_PROGRESS);
    EnableWindow(controls.next, FALSE);
    SetTimer(window_, IDT_MARQUEE, MARQUEE_PERIOD_MS, nullptr);
    PumpMessages();
}

void WizardHost::LeaveProgressPage() {
    KillTimer(window_, IDT_MARQUEE);
    installState.busy = false;
    installState.finished = false;
    ShowWizardPage(PAGE_LOCATION);
    PumpMessages();
}

void WizardHost::SetVisible(bool visible) {
    ShowWindow(window_, visible ? SW_SHOW : SW_HIDE);
    if (visible) UpdateWindow(window_);
    PumpMessages();
}

double WizardHost::RunInstall(const wchar_t* installDir, DWORD timeoutMs) {
    wcsncpy_s(installState.installDir, installDir, _TRUNCATE);
    SetWindowTextW(controls.pathEdit, installDir);
    doneValue_ = -1;
    EnterProgressPage();
    const int64_t start = CounterNow();
    const bool ended = RunOnThread([] { InstallWorker(nullptr); }, timeoutMs);
    if (!ended || doneValue_ != 1) return -1.0;
    return SecondsBetween(start, doneCounter_);
}

DWORD WINAPI WizardHost::ProbeThread(LPVOID self) {
    auto* host = static_cast<WizardHost*>(self);
    // Bounded by the stop flag and by a count far beyond any run (an hour at 1 ms).
    for (int i = 0; i < 3600000 && !host->stopProbing_.load(); ++i) {
        PostMessageW(host->window_, WM_BENCH_PROBE, 0, static_cast<LPARAM>(CounterNow()));
        Sleep(host->probePeriodMs_);
    }
    return 0;
}

void WizardHost::StartProbing(DWORD periodMs) {
    StopProbing();
    probePeriodMs_ = periodMs;
    stopProbing_ = false;
    prober_ = CreateThread(nullptr, 0, ProbeThread, this, 0, nullptr);
}

void WizardHost::StopProbing() {
    if (!prober_) return;
    stopProbing_ = true;
    WaitForSingleObject(prober_, INFINITE);
    CloseHandle(prober_);
    prober_ = nullptr;
    PumpMessages();
}

void WizardHost::ClearRecords() {
    probeDelaysMs_.clear();
    statusPostTimes_.clear();
    statusDelaysMs_.clear();
    paintMs_.clear();
    progressCount_ = 0;
    doneValue_ = -1;
}

LRESULT WizardHost::Handle(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_BENCH_PROBE:
        probeDelaysMs_.push_back(static_cast<double>(CounterNow() - static_cast<int64_t>(lParam)) / ticksPerMs_);
        return 0;
    case WM_SETUP_STATUS: {
        const DWORD posted = static_cast<DWORD>(GetMessageTime());
        statusPostTimes_.push_back(posted);
        statusDelaysMs_.push_back(static_cast<DWORD>(GetTickCount64()) - posted);
        break;
    }
    case WM_SETUP_PROGRESS:
        ++progressCount_;
        break;
    case WM_PAINT: {
        const int64_t start = CounterNow();
        const LRESULT result = SetupWndProc(window, message, wParam, lParam);
        paintMs_.push_back(static_cast<double>(CounterNow() - start) / ticksPerMs_);
        return result;
    }
    case WM_SETUP_DONE:
        doneCounter_ = CounterNow();
        doneValue_ = static_cast<int>(wParam);
        if (wParam != 1) {
            // A failed attempt would open the wizard's warning box and wait for a user; the bench
            // reports the failure itself.
            KillTimer(window, IDT_MARQUEE);
            installState.busy = false;
            return 0;
        }
        break;
    default:
        break;
    }
    return SetupWndProc(window, message, wParam, lParam);
}
