// The wizard window made inside the test process, from the program's own window procedure: what
// cannot be asked from another process. The four theme fonts as they were created (a font handle
// means nothing in another process, and Wine answers WM_GETFONT across processes with 0), and
// every status the window takes in while a cancel request waits for the worker.
//
// Not checked here: the count of GDI objects over many repaints. GetGuiResources is the way to
// ask for it, and Wine answers it with 0 and ERROR_CALL_NOT_IMPLEMENTED.
#include "engine/install_state.h"
#include "engine/layout.h"
#include "tests/support/message_box.h"
#include "tests/support/message_trace.h"
#include "tests/support/release_fixture.h"
#include "tests/support/testbed.h"
#include "window/controls.h"
#include "window/setup_window.h"
#include "window/theme.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <algorithm>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr wchar_t kCancelling[] = L"취소하는 중...";

std::wstring Caption(HWND control) {
    wchar_t text[64] = {};
    GetWindowTextW(control, text, 64);
    return text;
}

// Publishes release 1.2.1 on site with the host holding the payload's stream open, after an
// empty body, until release exists on the site (removed first); clears the worker's temporary
// files. False when the site could not be written.
bool PublishHeldRelease(const ReleaseSite& site, const std::wstring& release) {
    std::wstring fault = L"holduntil=" + site.HostPath(release);
    for (size_t slash; (slash = fault.find(L'/')) != std::wstring::npos;) fault.replace(slash, 1, L"%2F");
    DeleteFileW(site.FilePath(release).c_str());
    RemoveWorkerTempFiles();
    return site.Put(PAYLOAD_FILE, "") &&
           site.PutManifest(ManifestJson("1.2.1", Narrow(site.FaultUrl(fault, PAYLOAD_FILE)), ""));
}

// The wizard window on the test's thread: the program's window procedure, style and client size,
// shown, and pumped by the test as the program's message loop would.
class InProcessWizard {
public:
    InProcessWizard() {
        ResetInstallState();
        static const bool registered = [] {
            WNDCLASSW windowClass{};
            windowClass.lpfnWndProc = SetupWndProc;
            windowClass.hInstance = GetModuleHandleW(nullptr);
            windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
            windowClass.lpszClassName = WIZARD_WINDOW_CLASS;
            return RegisterClassW(&windowClass) != 0;
        }();
        EXPECT_TRUE(registered);
        constexpr DWORD style = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
        RECT frame{0, 0, 600, 520};
        AdjustWindowRect(&frame, style, FALSE);
        window_ = CreateWindowExW(0, WIZARD_WINDOW_CLASS, L"Tavrin AI 설치", style, 20, 20, frame.right - frame.left,
                                  frame.bottom - frame.top, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
        if (!window_) return;
        ShowWindow(window_, SW_SHOW);
        UpdateWindow(window_);
        Pump([] { return false; }, 100);  // the first paints
    }
    InProcessWizard(const InProcessWizard&) = delete;
    InProcessWizard& operator=(const InProcessWizard&) = delete;
    ~InProcessWizard() {
        if (IsWindow(window_)) {
            KillTimer(window_, IDT_MARQUEE);
            installState.busy = false;
            DestroyWindow(window_);
        }
        // WM_DESTROY posted the quit message; a later message box of this thread would end at once.
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        }
        ResetInstallState();
    }

    HWND window() const { return window_; }
    HWND Control(int id) const { return GetDlgItem(window_, id); }
    // The single-line edit: the install folder.
    HWND PathEdit() const {
        for (HWND child = GetWindow(window_, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
            wchar_t className[16] = {};
            GetClassNameW(child, className, 16);
            if (_wcsicmp(className, L"Edit") == 0 && !(GetWindowLongW(child, GWL_STYLE) & ES_MULTILINE)) return child;
        }
        return nullptr;
    }

    // A button press as the control reports it.
    void Command(int id) const {
        SendMessageW(window_, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(Control(id)));
    }

    // Runs the message loop as the program does until done() holds or timeoutMs pass. Before a
    // message is dispatched seen() is given it; done() is asked after each message and whenever
    // the queue is empty. Returns done()'s last value.
    bool Pump(const std::function<bool()>& done, DWORD timeoutMs, const std::function<void(const MSG&)>& seen = {}) {
        const ULONGLONG deadline = GetTickCount64() + timeoutMs;
        for (;;) {
            MSG message;
            while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
                if (seen) seen(message);
                if (!PreTranslateWizardMessage(window_, message)) {
                    TranslateMessage(&message);
                    DispatchMessageW(&message);
                }
                if (done()) return true;
            }
            if (done()) return true;
            const ULONGLONG now = GetTickCount64();
            if (now >= deadline) return false;
            MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, 50)),
                                      QS_ALLINPUT);
        }
    }

    // Esc on control as the keyboard delivers it (key down, its character, key up), then the loop
    // runs until all that the keys set off has been handled: a first marker follows the keys, and
    // a second, posted when the first arrives, follows whatever the keys themselves posted. False
    // when the second never arrives (the window is gone).
    bool PressEscape(HWND control) {
        constexpr UINT kMarker = WM_APP + 50;
        PostMessageW(control, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
        PostMessageW(control, WM_CHAR, VK_ESCAPE, 0x00010001);
        PostMessageW(control, WM_KEYUP, VK_ESCAPE, 0xC0010001);
        PostMessageW(window_, kMarker, 1, 0);
        bool followed = false;
        return Pump([&] { return followed; }, 10000, [&](const MSG& message) {
            if (message.message != kMarker) return;
            if (message.wParam == 1) PostMessageW(window_, kMarker, 2, 0);
            followed = message.wParam == 2;
        });
    }

    // The read-only multiline edit: the licence text.
    HWND LicenseEdit() const {
        for (HWND child = GetWindow(window_, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
            if (GetWindowLongW(child, GWL_STYLE) & ES_MULTILINE) return child;
        }
        return nullptr;
    }

private:
    HWND window_ = nullptr;
};

// The four fonts as the theme describes them, read back from the handles the window made in
// WM_CREATE; the controls that take a font hold the body font, the owner-drawn buttons none.
TEST(WizardInProcess, FontsAreTheThemesFour) {
    InProcessWizard wizard;
    ASSERT_TRUE(wizard.window());
    struct Case {
        const char* name;
        HFONT font;
        const wchar_t* face;
        LONG height;
        LONG weight;
    } const cases[] = {
        {"titleFont", titleFont, L"Segoe UI", -26, 600},
        {"statusFont", statusFont, L"Malgun Gothic", -15, 400},
        {"bodyFont", bodyFont, L"Malgun Gothic", -13, 400},
        {"buttonFont", buttonFont, L"Malgun Gothic", -14, 600},
    };
    HDC screen = GetDC(nullptr);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(c.font);
        LOGFONTW font{};
        ASSERT_EQ(GetObjectW(c.font, sizeof font, &font), static_cast<int>(sizeof font));
        EXPECT_STREQ(font.lfFaceName, c.face);
        EXPECT_EQ(font.lfHeight, c.height);
        EXPECT_EQ(font.lfWeight, c.weight);
        EXPECT_EQ(font.lfQuality, CLEARTYPE_QUALITY);
        EXPECT_EQ(font.lfWidth, 0);
        EXPECT_EQ(font.lfEscapement, 0);
        EXPECT_EQ(font.lfOrientation, 0);
        EXPECT_EQ(font.lfItalic, 0);
        EXPECT_EQ(font.lfUnderline, 0);
        EXPECT_EQ(font.lfStrikeOut, 0);
        EXPECT_EQ(font.lfCharSet, DEFAULT_CHARSET);
        EXPECT_EQ(font.lfOutPrecision, OUT_DEFAULT_PRECIS);
        EXPECT_EQ(font.lfClipPrecision, CLIP_DEFAULT_PRECIS);
        EXPECT_EQ(font.lfPitchAndFamily, DEFAULT_PITCH | FF_DONTCARE);
        // A negative height is the character height, internal leading not counted.
        HGDIOBJ previous = SelectObject(screen, c.font);
        TEXTMETRICW metrics{};
        EXPECT_TRUE(GetTextMetricsW(screen, &metrics));
        SelectObject(screen, previous);
        EXPECT_EQ(metrics.tmHeight - metrics.tmInternalLeading, -c.height);
    }
    ReleaseDC(nullptr, screen);
    EXPECT_TRUE(titleFont != statusFont && statusFont != bodyFont && bodyFont != buttonFont && titleFont != buttonFont);

    for (const int id : {IDC_DESKTOP_SHORTCUT, IDC_RUN_AFTER, IDC_AGREE}) {
        EXPECT_EQ(reinterpret_cast<HFONT>(SendMessageW(wizard.Control(id), WM_GETFONT, 0, 0)), bodyFont) << id;
    }
    for (HWND child = GetWindow(wizard.window(), GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        wchar_t className[16] = {};
        GetClassNameW(child, className, 16);
        if (_wcsicmp(className, L"Edit") == 0) {
            EXPECT_EQ(reinterpret_cast<HFONT>(SendMessageW(child, WM_GETFONT, 0, 0)), bodyFont) << "an edit";
        }
    }
    for (const int id : {IDC_NEXT, IDC_CANCEL, IDC_BROWSE, IDC_BACK}) {
        EXPECT_EQ(SendMessageW(wizard.Control(id), WM_GETFONT, 0, 0), 0) << id;
    }
}

// Esc never closes the wizard or cancels an attempt, wherever the keyboard is: in the licence
// text (a multiline edit in a dialog-style loop answers Esc by closing its parent), in the folder
// field, and in the licence text while an attempt waits in its payload download.
TEST(WizardInProcess, EscapeNeitherClosesNorCancels) {
    InProcessWizard wizard;
    ASSERT_TRUE(wizard.window());
    ASSERT_TRUE(wizard.LicenseEdit());
    SetFocus(wizard.LicenseEdit());
    EXPECT_TRUE(wizard.PressEscape(wizard.LicenseEdit())) << "Esc in the licence text closed the wizard";
    ASSERT_TRUE(IsWindow(wizard.window()));
    EXPECT_EQ(installState.page, PAGE_LICENSE);

    SendMessageW(wizard.Control(IDC_AGREE), BM_CLICK, 0, 0);
    wizard.Command(IDC_NEXT);
    ASSERT_EQ(installState.page, PAGE_LOCATION);
    SetFocus(wizard.PathEdit());
    EXPECT_TRUE(wizard.PressEscape(wizard.PathEdit())) << "Esc in the folder field closed the wizard";
    ASSERT_TRUE(IsWindow(wizard.window()));
    EXPECT_EQ(installState.page, PAGE_LOCATION);

    ReleaseSite site(L"window_escape");
    const std::wstring release = L"release";
    ASSERT_TRUE(PublishHeldRelease(site, release));
    const std::wstring scratch = testbed::MakeScratchFolder(L"wizard_escape");
    ASSERT_FALSE(scratch.empty());
    SetWindowTextW(wizard.PathEdit(), (scratch + L"\\inst").c_str());
    std::thread answerer([&] {
        if (auto box = WaitForMessageBox(wizard.window(), 0, 60000)) AnswerMessageBox(box->box, IDOK);
    });
    wizard.Command(IDC_NEXT);
    const std::wstring payloadFile = TempFilePath(PAYLOAD_TEMP_NAME);
    // The payload file exists once the headers are in and the worker waits for the body.
    EXPECT_TRUE(wizard.Pump([&] { return testbed::FileExists(payloadFile); }, 60000)) << "the download never started";
    SetFocus(wizard.LicenseEdit());
    EXPECT_TRUE(wizard.PressEscape(wizard.LicenseEdit())) << "Esc while busy closed the wizard";
    EXPECT_TRUE(installState.busy);
    EXPECT_FALSE(installState.cancelRequested.load()) << "Esc cancelled the attempt";
    EXPECT_EQ(installState.page, PAGE_PROGRESS);

    // The attempt ends by its Cancel button once the host lets the stream end.
    wizard.Command(IDC_CANCEL);
    EXPECT_TRUE(site.Put(release, "end the stream"));
    EXPECT_TRUE(wizard.Pump([] { return !installState.busy; }, 60000)) << "the attempt did not end";
    answerer.join();
}

// Cancel while the worker waits in the payload download (the server sends the headers and an
// empty body, then holds the stream open until the test releases it): every press posts
// "취소하는 중...", and that is the window's status, on the running progress page, until the
// worker's own last word "취소됨", which comes only once the stream ends and which the failure
// box then shows.
TEST(WizardInProcess, CancelShowsCancellingUntilTheWorkerEnds) {
    InProcessWizard wizard;
    ASSERT_TRUE(wizard.window());
    ReleaseSite site(L"window_cancel");
    const std::wstring release = L"release";
    ASSERT_TRUE(PublishHeldRelease(site, release));
    const std::wstring scratch = testbed::MakeScratchFolder(L"wizard_cancel");
    ASSERT_FALSE(scratch.empty());

    SendMessageW(wizard.Control(IDC_AGREE), BM_CLICK, 0, 0);
    wizard.Command(IDC_NEXT);
    SetWindowTextW(wizard.PathEdit(), (scratch + L"\\inst").c_str());
    std::wstring boxText = L"<no box>";
    std::thread answerer([&] {
        if (auto box = WaitForMessageBox(wizard.window(), 0, 60000)) {
            boxText = box->text;
            AnswerMessageBox(box->box, IDOK);
        }
    });

    struct Shown {
        std::wstring text;
        bool running;  // busy, on the progress page, "다음" disabled, "취소" on the cancel button
    };
    std::vector<Shown> shown;           // the window's status and state whenever either changed
    std::vector<std::wstring> arrived;  // every status message the window took, in order
    int presses = 0;
    bool released = false;
    bool cancelledBeforeRelease = false;
    const std::wstring payloadFile = TempFilePath(PAYLOAD_TEMP_NAME);
    wizard.Command(IDC_NEXT);
    const bool ended = wizard.Pump(
        [&] {
            // The payload file exists once the headers are in and the first read waits; each
            // further press follows the window's taking of the previous one.
            const auto taken = std::count(arrived.begin(), arrived.end(), kCancelling);
            if (installState.busy && presses < 3 && taken == presses && testbed::FileExists(payloadFile)) {
                ++presses;
                wizard.Command(IDC_CANCEL);
            }
            if (!released && taken == 3) {
                released = true;
                EXPECT_TRUE(site.Put(release, "end the stream"));
            }
            const bool running = installState.busy && installState.page == PAGE_PROGRESS &&
                                 !IsWindowEnabled(wizard.Control(IDC_NEXT)) &&
                                 Caption(wizard.Control(IDC_CANCEL)) == L"취소";
            if (shown.empty() || shown.back().text != installState.statusText || shown.back().running != running) {
                shown.push_back({installState.statusText, running});
            }
            return !installState.busy && boxText != L"<no box>";
        },
        90000,
        [&](const MSG& message) {
            if (message.message != WM_SETUP_STATUS || !message.lParam) return;
            arrived.push_back(reinterpret_cast<const wchar_t*>(message.lParam));
            if (arrived.back() == L"취소됨" && !released) cancelledBeforeRelease = true;
        });
    answerer.join();
    ASSERT_TRUE(ended) << "the attempt did not end";
    ASSERT_EQ(presses, 3);

    const auto firstCancelling = std::find(arrived.begin(), arrived.end(), kCancelling);
    ASSERT_NE(firstCancelling, arrived.end());
    EXPECT_EQ(std::vector<std::wstring>(firstCancelling, arrived.end()),
              (std::vector<std::wstring>{kCancelling, kCancelling, kCancelling, L"취소됨"}));
    EXPECT_FALSE(cancelledBeforeRelease) << "the worker did not wait for the server";

    const auto cancelling = std::find_if(shown.begin(), shown.end(), [](const Shown& s) { return s.text == kCancelling; });
    ASSERT_NE(cancelling, shown.end());
    ASSERT_EQ(shown.end() - cancelling, 3) << "the status or the page changed before the worker ended";
    EXPECT_TRUE(cancelling[0].running);
    EXPECT_EQ(cancelling[1].text, L"취소됨");
    EXPECT_TRUE(cancelling[1].running);
    EXPECT_EQ(cancelling[2].text, L"취소됨");  // kept, once the wizard is back on the location page
    EXPECT_FALSE(cancelling[2].running);
    EXPECT_EQ(boxText, L"취소됨");
    EXPECT_EQ(Caption(wizard.Control(IDC_NEXT)), L"다시 시도");
}

}  // namespace
