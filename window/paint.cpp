#include "window/paint.h"

#include "engine/install_state.h"
#include "engine/layout.h"
#include "engine/owned.h"
#include "window/controls.h"
#include "window/setup_window.h"
#include "window/theme.h"

#include <algorithm>

namespace {

// Horizontal margin of every page element, and the progress bar's rows.
constexpr int MARGIN = 36;
constexpr int BAR_TOP = 172;
constexpr int BAR_BOTTOM = 178;
// The marquee's right end advances one pixel per this many milliseconds.
constexpr ULONGLONG MARQUEE_MS_PER_PIXEL = 12;
constexpr int MARQUEE_LENGTH = 120;

constexpr COLORREF BUTTON_DISABLED = RGB(46, 46, 46);
constexpr COLORREF PRIMARY_PRESSED = RGB(58, 90, 128);
constexpr COLORREF PRIMARY_NORMAL = RGB(45, 74, 110);
constexpr COLORREF OTHER_PRESSED = RGB(74, 74, 74);
constexpr COLORREF OTHER_NORMAL = RGB(58, 58, 58);
constexpr COLORREF CAPTION_ENABLED = RGB(255, 255, 255);
constexpr COLORREF CAPTION_DISABLED = RGB(119, 119, 119);

const wchar_t* const STEP_LABELS[3] = {L"1  사용권 계약", L"2  설치 위치", L"3  설치"};
const wchar_t* const LICENSE_INSTRUCTION = L"설치를 계속하려면 아래 사용권 계약을 읽고 동의해 주세요.";
const wchar_t* const LOCATION_HEADING = L"설치 위치";
const wchar_t* const LOCATION_NOTE = L"필요 공간 약 2GB \u00B7 설치 후 로그인(온라인)이 필요합니다.";
const wchar_t* const COMPLETION_NOTE =
    L"시작 메뉴와 바탕화면에 'Tavrin AI' 바로가기가 만들어졌습니다.\r\n"
    L"제거는 제어판 '프로그램 제거'에서 할 수 있습니다.";

// Made on first request, returned for every later one, never deleted.
HBRUSH fieldBrush;
HBRUSH backgroundBrush;

void Fill(HDC dc, const RECT& rect, COLORREF color) {
    OwnedGdiObject brush(CreateSolidBrush(color));
    FillRect(dc, &rect, static_cast<HBRUSH>(brush.get()));
}

void Text(HDC dc, const wchar_t* text, RECT rect, HFONT font, COLORREF color, UINT format) {
    SelectedObject selected(dc, font);
    SetTextColor(dc, color);
    SetBkMode(dc, TRANSPARENT);
    DrawTextW(dc, text, -1, &rect, format);
}

void DrawLogo(HDC dc) {
    if (!logoBitmap) return;
    OwnedMemoryDc logoDc(CreateCompatibleDC(dc));
    if (!logoDc) return;
    SelectedObject selected(logoDc.get(), logoBitmap);
    BitBlt(dc, 36, 30, logoWidth, logoHeight, logoDc.get(), 0, 0, SRCCOPY);
}

void DrawHeader(HDC dc, int width) {
    Text(dc, PRODUCT_NAME, {116, 34, 416, 66}, titleFont, THEME_TEXT, DT_SINGLELINE);
    wchar_t subtitle[SUBTITLE_CAPACITY];
    CopySubtitle(subtitle, SUBTITLE_CAPACITY);
    Text(dc, subtitle, {116, 68, 416, 88}, bodyFont, THEME_MUTED, DT_SINGLELINE);

    const int page = installState.page;
    for (int i = 0; i < 3; ++i) {
        const int x = width - 348 + 104 * i;
        Text(dc, STEP_LABELS[i], {x, 40, x + 100, 58}, bodyFont, page == i ? THEME_ACCENT : THEME_MUTED,
             DT_SINGLELINE);
        Fill(dc, {x, 60, x + 96, 62}, page >= i ? THEME_ACCENT : THEME_TRACK);
    }
}

void DrawLocationPage(HDC dc, int width) {
    Text(dc, LOCATION_HEADING, {MARGIN, 118, 236, 136}, bodyFont, THEME_MUTED, DT_SINGLELINE);
    Fill(dc, {MARGIN, 138, width - MARGIN, 172}, THEME_FIELD);
    Text(dc, LOCATION_NOTE, {MARGIN, 236, width - MARGIN, 254}, bodyFont, THEME_MUTED, DT_SINGLELINE);
}

void DrawProgressBar(HDC dc, int width) {
    const int progress = installState.progress;
    if (progress < 0 && progress != PROGRESS_MARQUEE) return;
    Fill(dc, {MARGIN, BAR_TOP, width - MARGIN, BAR_BOTTOM}, THEME_TRACK);
    if (progress >= 0) {
        Fill(dc, {MARGIN, BAR_TOP, ProgressFillRight(width, progress), BAR_BOTTOM}, THEME_ACCENT);
        return;
    }
    int left = 0;
    int right = 0;
    if (MarqueeSegment(GetTickCount64(), width, left, right)) {
        Fill(dc, {left, BAR_TOP, right, BAR_BOTTOM}, THEME_ACCENT);
    }
}

void DrawProgressPage(HDC dc, int width) {
    Fill(dc, {MARGIN, 118, width - MARGIN, 119}, THEME_TRACK);
    Text(dc, installState.statusText, {MARGIN, 140, width - MARGIN, 162}, statusFont,
         installState.finished ? THEME_ACCENT : THEME_TEXT, DT_SINGLELINE | DT_END_ELLIPSIS);
    DrawProgressBar(dc, width);
    if (installState.finished) {
        Text(dc, COMPLETION_NOTE, {MARGIN, 200, width - MARGIN, 240}, bodyFont, THEME_MUTED, DT_WORDBREAK);
    }
}

void Compose(HDC dc, int width, int height) {
    Fill(dc, {0, 0, width, height}, THEME_BACKGROUND);
    DrawLogo(dc);
    DrawHeader(dc, width);
    switch (installState.page) {
    case PAGE_LICENSE:
        Text(dc, LICENSE_INSTRUCTION, {MARGIN, 100, width - MARGIN, 118}, bodyFont, THEME_MUTED, DT_SINGLELINE);
        break;
    case PAGE_LOCATION:
        DrawLocationPage(dc, width);
        break;
    default:
        DrawProgressPage(dc, width);
        break;
    }
}

}  // namespace

void PaintWizard(HWND window) {
    PAINTSTRUCT paint;
    HDC screen = BeginPaint(window, &paint);
    RECT client{};
    GetClientRect(window, &client);
    const int width = client.right;
    const int height = client.bottom;
    {
        // Declared so that destruction runs: old bitmap back, bitmap deleted, context deleted.
        OwnedMemoryDc memory(CreateCompatibleDC(screen));
        OwnedGdiObject surface(CreateCompatibleBitmap(screen, width, height));
        if (memory && surface) {
            SelectedObject selected(memory.get(), surface.get());
            Compose(memory.get(), width, height);
            BitBlt(screen, 0, 0, width, height, memory.get(), 0, 0, SRCCOPY);
        }
    }
    EndPaint(window, &paint);
}

// Fill colour of an owner-drawn button: itemState (ODS_*) of the draw request and its control id.
static COLORREF ButtonFillColor(UINT itemState, UINT controlId) {
    if (itemState & ODS_DISABLED) return BUTTON_DISABLED;
    const bool primary = controlId == static_cast<UINT>(IDC_NEXT);
    if (itemState & ODS_SELECTED) return primary ? PRIMARY_PRESSED : OTHER_PRESSED;
    return primary ? PRIMARY_NORMAL : OTHER_NORMAL;
}

void DrawWizardButton(const DRAWITEMSTRUCT& item) {
    Fill(item.hDC, item.rcItem, ButtonFillColor(item.itemState, item.CtlID));
    wchar_t caption[64] = {};
    GetWindowTextW(item.hwndItem, caption, 64);
    const COLORREF color = (item.itemState & ODS_DISABLED) ? CAPTION_DISABLED : CAPTION_ENABLED;
    Text(item.hDC, caption, item.rcItem, buttonFont, color, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
}

HBRUSH ColorControl(UINT message, HDC dc) {
    SetTextColor(dc, THEME_TEXT);
    if (message == WM_CTLCOLOREDIT) {
        SetBkColor(dc, THEME_FIELD);
        if (!fieldBrush) fieldBrush = CreateSolidBrush(THEME_FIELD);
        return fieldBrush;
    }
    SetBkColor(dc, THEME_BACKGROUND);
    if (!backgroundBrush) backgroundBrush = CreateSolidBrush(THEME_BACKGROUND);
    return backgroundBrush;
}

void OnMarqueeTick(HWND window) {
    if (installState.progress == PROGRESS_MARQUEE) InvalidateRect(window, nullptr, FALSE);
}

int ProgressFillRight(int width, int progress) {
    return MARGIN + ((width - 2 * MARGIN) * progress) / 1000;
}

bool MarqueeSegment(ULONGLONG tickMs, int width, int& left, int& right) {
    const ULONGLONG cycle = static_cast<ULONGLONG>(static_cast<LONGLONG>(width + 48));
    if (cycle == 0) return false;
    const int pos = static_cast<int>((tickMs / MARQUEE_MS_PER_PIXEL) % cycle);
    left = MARGIN + std::max(pos - MARQUEE_LENGTH, 0);
    right = std::min(MARGIN + pos, width - MARGIN);
    return right > left;
}
