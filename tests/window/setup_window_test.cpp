// The wizard window driven from outside without a release host: its frame and controls, the
// licence and location pages, the keys it ignores, closing, the folder dialog and its painting.
#include "engine/layout.h"
#include "tests/support/installed_paths.h"
#include "tests/support/message_box.h"
#include "tests/support/testbed.h"
#include "tests/window/setup_driver.h"
#include "tests/window/wizard_pixels.h"
#include "window/controls.h"

#include <gtest/gtest.h>
#include <commctrl.h>
#include <shlobj.h>

#include <algorithm>

#include <string>
#include <vector>

namespace {

std::wstring DefaultInstallDir() {
    wchar_t folder[MAX_PATH] = {};
    SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder);
    return InFolder(folder, INSTALL_FOLDER_NAME);
}

bool Visible(HWND control) {
    return (GetWindowLongW(control, GWL_STYLE) & WS_VISIBLE) != 0;
}

struct PageControls {
    bool licence;  // licenseEdit, IDC_AGREE
    bool location; // pathEdit, IDC_BROWSE, the two option boxes, IDC_BACK
};

void ExpectPage(const SetupProcess& setup, PageControls shown) {
    EXPECT_EQ(Visible(setup.LicenseEdit()), shown.licence);
    EXPECT_EQ(Visible(setup.Control(IDC_AGREE)), shown.licence);
    EXPECT_EQ(Visible(setup.PathEdit()), shown.location);
    for (int id : {IDC_BROWSE, IDC_DESKTOP_SHORTCUT, IDC_RUN_AFTER, IDC_BACK}) {
        EXPECT_EQ(Visible(setup.Control(id)), shown.location) << "control " << id;
    }
    EXPECT_TRUE(Visible(setup.Control(IDC_NEXT)));
    EXPECT_TRUE(Visible(setup.Control(IDC_CANCEL)));
    EXPECT_EQ(TextOf(setup.Control(IDC_CANCEL)), L"취소");
}

// Moves from the licence page to the location page as a user does.
void GoToLocation(const SetupProcess& setup) {
    setup.Click(IDC_AGREE);
    setup.Command(IDC_NEXT);
    ASSERT_EQ(TextOf(setup.Control(IDC_NEXT)), L"설치");
}

// Waits until the window's queue has run past everything posted before: a selection posted to
// the path edit after them shows up only once they have been handled.
void DrainPosted(const SetupProcess& setup) {
    static int marker = 1;
    marker = marker % 5 + 1;
    const int end = marker;
    PostMessageW(setup.PathEdit(), EM_SETSEL, 0, end);
    ASSERT_TRUE(WaitUntil([&] {
        DWORD start = 0, stop = 0;
        SendMessageW(setup.PathEdit(), EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&stop));
        return start == 0 && static_cast<int>(stop) == end;
    }, 10000));
}

// Captures once the window shows what the predicate expects (paint reaches the display a little
// after the message that caused it, and the controls paint after the window).
Capture CaptureWhen(HWND window, const std::function<bool(const Capture&)>& ready) {
    Capture capture;
    WaitUntil([&] {
        capture = CaptureClient(window);
        return ready(capture);
    }, 10000);
    return capture;
}

TEST(WizardWindow, FrameIsAFixedCentredDarkWindowOf600By520) {
    SetupProcess setup;
    ASSERT_TRUE(setup.Window());
    HWND window = setup.Window();

    RECT client{};
    GetClientRect(window, &client);
    EXPECT_EQ(client.right, 600);
    EXPECT_EQ(client.bottom, 520);
    EXPECT_EQ(TextOf(window), L"Tavrin AI 설치");

    const DWORD style = GetWindowLongW(window, GWL_STYLE);
    EXPECT_EQ(style & (WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX), DWORD{WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX});
    EXPECT_EQ(style & (WS_THICKFRAME | WS_MAXIMIZEBOX | WS_CLIPCHILDREN), 0u);
    EXPECT_EQ(GetClassLongW(window, GCL_STYLE), 0u);
    EXPECT_EQ(GetClassLongPtrW(window, GCLP_HBRBACKGROUND), 0);

    RECT frame{};
    GetWindowRect(window, &frame);
    // Centred on the bed's 1280 x 1024 screen: the frame around the 600 x 520 client area is
    // Wine's fixed border (3 pixels) and caption, 606 x 545 in all (the platform's metrics).
    ASSERT_EQ(GetSystemMetrics(SM_CXSCREEN), 1280);
    ASSERT_EQ(GetSystemMetrics(SM_CYSCREEN), 1024);
    ASSERT_EQ(frame.right - frame.left, 606);
    ASSERT_EQ(frame.bottom - frame.top, 545);
    EXPECT_EQ(frame.left, 337);  // (1280 - 606) / 2
    EXPECT_EQ(frame.top, 239);   // (1024 - 545) / 2, rounded down
}

TEST(WizardWindow, CreatesTheNineControlsInPlace) {
    SetupProcess setup;
    ASSERT_TRUE(setup.Window());
    struct Case {
        const char* name;
        HWND control;
        const wchar_t* className;
        std::wstring text;
        DWORD style;  // without WS_VISIBLE, which the page sets
        RECT rect;
        int id;
        bool checked;
    };
    const DWORD ownerDrawn = WS_CHILD | BS_OWNERDRAW;
    const DWORD checkBox = WS_CHILD | BS_AUTOCHECKBOX;
    const Case cases[] = {
        {"pathEdit", setup.PathEdit(), L"Edit", DefaultInstallDir(), WS_CHILD | ES_AUTOHSCROLL,
         {46, 146, 470, 166}, 0, false},
        {"browse", setup.Control(IDC_BROWSE), L"Button", L"찾아보기", ownerDrawn, {484, 141, 564, 169},
         IDC_BROWSE, false},
        {"desktop", setup.Control(IDC_DESKTOP_SHORTCUT), L"Button", L"바탕화면 바로가기 만들기", checkBox,
         {36, 184, 256, 204}, IDC_DESKTOP_SHORTCUT, true},
        {"runAfter", setup.Control(IDC_RUN_AFTER), L"Button", L"설치 후 바로 실행", checkBox,
         {36, 206, 256, 226}, IDC_RUN_AFTER, true},
        {"cancel", setup.Control(IDC_CANCEL), L"Button", L"취소", ownerDrawn, {362, 460, 458, 494},
         IDC_CANCEL, false},
        {"next", setup.Control(IDC_NEXT), L"Button", L"다음", ownerDrawn, {468, 460, 564, 494}, IDC_NEXT,
         false},
        {"back", setup.Control(IDC_BACK), L"Button", L"뒤로", ownerDrawn, {36, 460, 132, 494}, IDC_BACK,
         false},
        {"licenseEdit", setup.LicenseEdit(), L"Edit", L"",
         WS_CHILD | WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL | ES_READONLY, {36, 122, 564, 410}, 0, false},
        {"agree", setup.Control(IDC_AGREE), L"Button", L"위 사용권 계약에 동의합니다", checkBox,
         {36, 424, 336, 444}, IDC_AGREE, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(c.control);
        wchar_t className[32] = {};
        GetClassNameW(c.control, className, 32);
        EXPECT_STREQ(className, c.className);
        if (c.control != setup.LicenseEdit()) {
            EXPECT_EQ(TextOf(c.control), c.text);
        }
        EXPECT_EQ(GetWindowLongW(c.control, GWL_STYLE) & ~(WS_VISIBLE | WS_DISABLED), c.style);
        EXPECT_EQ(GetWindowLongW(c.control, GWL_EXSTYLE), 0);
        EXPECT_EQ(GetDlgCtrlID(c.control), c.id);
        const RECT rect = ChildRect(c.control);
        EXPECT_EQ(rect.left, c.rect.left);
        EXPECT_EQ(rect.top, c.rect.top);
        EXPECT_EQ(rect.right, c.rect.right);
        EXPECT_EQ(rect.bottom, c.rect.bottom);
        EXPECT_TRUE(IsWindowEnabled(c.control) || c.id == IDC_NEXT);
        // Which font a control holds cannot be asked from outside (Wine answers WM_GETFONT from
        // another process with 0); the screenshots show it.
        const bool checkBox = (c.style & BS_TYPEMASK) == BS_AUTOCHECKBOX && c.id;
        if (checkBox) {
            EXPECT_EQ(SendMessageW(c.control, BM_GETCHECK, 0, 0), c.checked ? BST_CHECKED : BST_UNCHECKED);
        }
    }
    // Created in the order of the table: each control follows the previous one in z-order.
    for (size_t i = 1; i < std::size(cases); ++i) {
        EXPECT_EQ(GetWindow(cases[i - 1].control, GW_HWNDNEXT), cases[i].control) << cases[i].name;
    }
}

TEST(WizardWindow, LicenceMustBeAcceptedAndBackKeepsTheTick) {
    SetupProcess setup;
    ASSERT_TRUE(setup.Window());
    HWND next = setup.Control(IDC_NEXT);
    ExpectPage(setup, {true, false});
    EXPECT_EQ(TextOf(next), L"다음");
    EXPECT_FALSE(IsWindowEnabled(next));

    setup.Command(IDC_NEXT);  // arrives although the button is disabled: ignored
    ExpectPage(setup, {true, false});

    setup.Click(IDC_AGREE);
    EXPECT_TRUE(IsWindowEnabled(next));
    setup.Click(IDC_AGREE);
    EXPECT_FALSE(IsWindowEnabled(next));
    setup.Click(IDC_AGREE);
    setup.Command(IDC_NEXT);
    ExpectPage(setup, {false, true});
    EXPECT_EQ(TextOf(next), L"설치");
    EXPECT_TRUE(IsWindowEnabled(next));

    setup.Command(IDC_BACK);
    ExpectPage(setup, {true, false});
    EXPECT_TRUE(setup.IsChecked(IDC_AGREE));
    EXPECT_EQ(TextOf(next), L"다음");
    EXPECT_TRUE(IsWindowEnabled(next));

    setup.Command(IDC_BACK);  // only from the location page
    ExpectPage(setup, {true, false});
    setup.Command(IDC_NEXT);
    ExpectPage(setup, {false, true});
    EXPECT_EQ(TextOf(next), L"설치");
}

TEST(WizardWindow, EmptyFolderIsRefusedWithAWarning) {
    SetupProcess setup;
    ASSERT_TRUE(setup.Window());
    GoToLocation(setup);
    SendMessageW(setup.PathEdit(), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L""));
    setup.Command(IDC_NEXT);

    auto box = WaitForMessageBox(setup.Window(), 0, 10000);
    ASSERT_TRUE(box);
    EXPECT_EQ(box->caption, PRODUCT_NAME);
    EXPECT_EQ(box->text, L"설치 폴더를 입력하세요.");
    EXPECT_EQ(box->Style(), UINT{MB_OK | MB_ICONWARNING});
    AnswerMessageBox(box->box, IDOK);
    ASSERT_TRUE(WaitUntil([&] { return CountMessageBoxes(setup.ProcessId()) == 0; }, 10000));
    ExpectPage(setup, {false, true});
    EXPECT_EQ(TextOf(setup.Control(IDC_NEXT)), L"설치");
    EXPECT_TRUE(IsWindowEnabled(setup.Control(IDC_NEXT)));
}

TEST(WizardWindow, EscapeAndEnterDoNothing) {
    SetupProcess setup;
    ASSERT_TRUE(setup.Window());
    setup.Click(IDC_AGREE);
    struct Key {
        UINT code;
        const char* name;
    };
    for (int page = 0; page < 2; ++page) {
        for (const Key key : {Key{VK_ESCAPE, "Esc"}, Key{VK_RETURN, "Enter"}}) {
            SCOPED_TRACE(testing::Message() << key.name << " on page " << page);
            // Keys reach the focused control, or the window when none has the focus.
            for (HWND target : {setup.Window(), setup.Control(IDC_AGREE), setup.PathEdit()}) {
                PostMessageW(target, WM_KEYDOWN, key.code, 1);
                PostMessageW(target, WM_CHAR, key.code == VK_RETURN ? L'\r' : 0x1B, 1);
                PostMessageW(target, WM_KEYUP, key.code, 0xC0000001);
            }
            DrainPosted(setup);
            ASSERT_TRUE(setup.Running());
            EXPECT_EQ(CountMessageBoxes(setup.ProcessId()), 0);
            ExpectPage(setup, {page == 0, page == 1});
        }
        setup.Command(IDC_NEXT);
    }
}

TEST(WizardWindow, CancelAndCloseBoxEndTheProgramWhileIdle) {
    struct Case {
        const char* name;
        bool onLocationPage;
        bool closeBox;  // WM_CLOSE instead of IDC_CANCEL
    };
    for (const Case c : {Case{"cancel on licence", false, false}, Case{"close box on licence", false, true},
                         Case{"cancel on location", true, false}, Case{"close box on location", true, true}}) {
        SCOPED_TRACE(c.name);
        SetupProcess setup;
        ASSERT_TRUE(setup.Window());
        if (c.onLocationPage) GoToLocation(setup);
        if (c.closeBox) {
            PostMessageW(setup.Window(), WM_CLOSE, 0, 0);
        } else {
            PostMessageW(setup.Control(IDC_CANCEL), BM_CLICK, 0, 0);
        }
        DWORD exitCode = 1;
        ASSERT_TRUE(setup.WaitForExit(30000, &exitCode));
        EXPECT_EQ(exitCode, 0u);
    }
}

bool HasResource(LPCWSTR type, LPCWSTR name) {
    HMODULE image = LoadLibraryExW(SetupExePath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    const bool found = FindResourceW(image, name, type) != nullptr;
    FreeLibrary(image);
    return found;
}

std::string LicenseResource() {
    HMODULE image = LoadLibraryExW(SetupExePath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    std::string bytes;
    if (HRSRC resource = FindResourceW(image, MAKEINTRESOURCEW(103), RT_RCDATA)) {
        const char* data = static_cast<const char*>(LockResource(LoadResource(image, resource)));
        bytes.assign(data, SizeofResource(image, resource));
    }
    FreeLibrary(image);
    return bytes;
}

TEST(WizardWindow, LicenceViewShowsTheTextLineByLine) {
    const std::string resource = LicenseResource();
    if (resource.empty()) GTEST_SKIP() << "this build carries no licence text";
    SetupProcess setup;
    ASSERT_TRUE(setup.Window());
    const std::wstring text = TextOf(setup.LicenseEdit());
    EXPECT_NE(text, L"(약관 본문을 불러오지 못했습니다)");
    EXPECT_EQ(text.find(L'\uFEFF'), std::wstring::npos);
    size_t breaks = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != L'\n') continue;
        ++breaks;
        EXPECT_TRUE(i > 0 && text[i - 1] == L'\r') << "bare LF at " << i;
    }
    EXPECT_EQ(breaks, static_cast<size_t>(std::count(resource.begin(), resource.end(), '\n')));
}

TEST(WizardWindow, WithoutLogoAndLicenceTheWizardStillWorks) {
    SetupProcess setup({}, testbed::FromUnixPath(TAVRIN_BARE_SETUP_EXE));
    ASSERT_TRUE(setup.Window());
    EXPECT_EQ(TextOf(setup.LicenseEdit()), L"(약관 본문을 불러오지 못했습니다)");
    const Capture capture = CaptureWhen(setup.Window(), [](const Capture& c) {
        return c.At(300, 61) == kAccent && c.Count({36, 122, 548, 410}, kText) > 0;
    });
    capture.Save(L"no_logo");
    EXPECT_TRUE(capture.All({36, 30, 100, 94}, kBackground));
    ExpectText(capture, {116, 34, 248, 66}, kText, kAccent);  // left of the steps

    setup.Click(IDC_AGREE);
    setup.Command(IDC_NEXT);
    EXPECT_EQ(TextOf(setup.Control(IDC_NEXT)), L"설치");
}

TEST(WizardPainting, LicenceAndLocationPages) {
    SetupProcess setup;
    ASSERT_TRUE(setup.Window());
    HWND window = setup.Window();
    const RECT cancel = ChildRect(setup.Control(IDC_CANCEL));
    const RECT next = ChildRect(setup.Control(IDC_NEXT));

    Capture licence = CaptureWhen(window, [&](const Capture& c) {
        return c.At(300, 61) == kAccent && c.Count({36, 424, 336, 444}, kText) > 0 &&
               c.At(cancel.left, cancel.top) == RGB(58, 58, 58) && c.At(next.left, next.top) == RGB(46, 46, 46);
    });
    licence.Save(L"page_licence");
    ExpectStepIndicator(licence, 0);
    ExpectText(licence, {116, 34, 248, 66}, kText, kAccent);     // title, left of the steps
    ExpectText(licence, {116, 68, 416, 88}, kMuted, kText);      // subtitle
    ExpectText(licence, {36, 100, 564, 118}, kMuted, kText);     // instruction
    EXPECT_GT(licence.Count({36, 122, 548, 410}, kText), 0);           // licence text
    // The read-only view sits on the window background.
    EXPECT_GT(licence.Count({36, 122, 548, 410}, kBackground), 512 * 288 * 3 / 4);
    EXPECT_GT(licence.Count({36, 424, 336, 444}, kText), 0);           // agreement box caption
    ExpectButton(licence, cancel, RGB(58, 58, 58), RGB(255, 255, 255));
    ExpectButton(licence, next, RGB(46, 46, 46), RGB(119, 119, 119));      // disabled until ticked
    if (HasResource(RT_BITMAP, MAKEINTRESOURCEW(101))) {
        EXPECT_FALSE(licence.All({36, 30, 100, 94}, kBackground)) << "logo drawn";
        EXPECT_EQ(licence.At(36, 30), kBackground) << "logo corner blends in";
    }

    setup.Click(IDC_AGREE);
    ExpectButton(CaptureWhen(window, [&](const Capture& c) {
                     return c.At(next.left, next.top) == RGB(45, 74, 110) && c.Count(next, RGB(255, 255, 255)) > 0;
                 }),
                 next, RGB(45, 74, 110), RGB(255, 255, 255));
    struct Pressed {
        int id;
        RECT rect;
        COLORREF fill;
    };
    for (const Pressed& p : {Pressed{IDC_NEXT, next, RGB(58, 90, 128)}, Pressed{IDC_CANCEL, cancel, RGB(74, 74, 74)}}) {
        SCOPED_TRACE(testing::Message() << "pressed " << p.id);
        Deliver(setup.Control(p.id), BM_SETSTATE, TRUE);
        const Capture pressed = CaptureWhen(window, [&](const Capture& c) {
            return c.At(p.rect.left, p.rect.top) == p.fill && c.Count(p.rect, RGB(255, 255, 255)) > 0;
        });
        ExpectButton(pressed, p.rect, p.fill, RGB(255, 255, 255));
        Deliver(setup.Control(p.id), BM_SETSTATE, FALSE);
    }

    setup.Command(IDC_NEXT);
    Capture location = CaptureWhen(window, [&](const Capture& c) {
        return c.At(400, 61) == kAccent && c.Count({36, 184, 256, 226}, kText) > 0 &&
               c.At(36, 460) == RGB(58, 58, 58) && c.At(484, 141) == RGB(58, 58, 58) &&
               c.Count({46, 146, 470, 166}, kText) > 0;
    });
    location.Save(L"page_location");
    ExpectStepIndicator(location, 1);
    ExpectText(location, {36, 118, 236, 136}, kMuted, kText);    // heading
    EXPECT_TRUE(location.All({36, 138, 46, 172}, kField));            // folder box around the edit
    EXPECT_TRUE(location.All({36, 138, 470, 146}, kField));
    ExpectText(location, {46, 146, 470, 166}, kText, kMuted);    // folder text on the field
    EXPECT_GT(location.Count({46, 146, 470, 166}, kField), 0);
    EXPECT_GT(location.Count({36, 184, 256, 204}, kText), 0);         // option boxes
    EXPECT_GT(location.Count({36, 206, 256, 226}, kText), 0);
    ExpectText(location, {36, 236, 564, 254}, kMuted, kText);    // requirements note
    EXPECT_TRUE(location.All({36, 256, 564, 440}, kBackground));       // no licence, no status
    ExpectButton(location, ChildRect(setup.Control(IDC_BROWSE)), RGB(58, 58, 58), RGB(255, 255, 255));
    ExpectButton(location, ChildRect(setup.Control(IDC_BACK)), RGB(58, 58, 58), RGB(255, 255, 255));
    ExpectButton(location, next, RGB(45, 74, 110), RGB(255, 255, 255));
}

TEST(WizardWindow, FolderDialogAppendsTheProductFolder) {
    wchar_t desktop[MAX_PATH] = {};
    SHGetFolderPathW(nullptr, CSIDL_DESKTOPDIRECTORY, nullptr, SHGFP_TYPE_CURRENT, desktop);
    struct Case {
        const char* name;
        int answer;
        std::wstring expected;
    };
    for (const Case& c : {Case{"desktop chosen", IDOK, InFolder(desktop, INSTALL_FOLDER_NAME)},
                          Case{"dialog cancelled", IDCANCEL, DefaultInstallDir()}}) {
        SCOPED_TRACE(c.name);
        SetupProcess setup;
        ASSERT_TRUE(setup.Window());
        GoToLocation(setup);
        PostMessageW(setup.Control(IDC_BROWSE), BM_CLICK, 0, 0);
        auto dialog = WaitForMessageBox(setup.Window(), 0, 20000);
        ASSERT_TRUE(dialog);
        bool titled = false;
        for (HWND child = GetWindow(dialog->box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
            titled = titled || TextOf(child) == L"설치 폴더 선택";
        }
        EXPECT_TRUE(titled);
        if (c.answer == IDOK) {
            HWND tree = FindWindowExW(dialog->box, nullptr, L"SysTreeView32", nullptr);
            ASSERT_TRUE(tree);
            const LRESULT root = SendMessageW(tree, TVM_GETNEXTITEM, TVGN_ROOT, 0);
            ASSERT_TRUE(root);
            SendMessageW(tree, TVM_SELECTITEM, TVGN_CARET, root);
        }
        AnswerMessageBox(dialog->box, c.answer);
        ASSERT_TRUE(WaitUntil([&] { return CountMessageBoxes(setup.ProcessId()) == 0; }, 10000));
        Deliver(setup.Window(), WM_NULL);
        EXPECT_EQ(TextOf(setup.PathEdit()), c.expected);
    }
}

}  // namespace
