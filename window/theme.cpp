#include "window/theme.h"

#include <dwmapi.h>

HFONT titleFont;
HFONT statusFont;
HFONT bodyFont;
HFONT buttonFont;

namespace {

// Older SDK headers lack these attribute numbers; the values are the system's.
constexpr DWORD DARK_MODE_ATTRIBUTE = 20;     // DWMWA_USE_IMMERSIVE_DARK_MODE
constexpr DWORD BORDER_COLOR_ATTRIBUTE = 34;  // DWMWA_BORDER_COLOR
constexpr DWORD CAPTION_COLOR_ATTRIBUTE = 35; // DWMWA_CAPTION_COLOR

// Height is negative: a character height in pixels, not counting internal leading.
HFONT MakeFont(const wchar_t* face, int height, int weight) {
    return CreateFontW(height, 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                       DEFAULT_PITCH | FF_DONTCARE, face);
}

}  // namespace

void ApplyDarkFrame(HWND window) {
    const BOOL dark = TRUE;
    const COLORREF frame = THEME_BACKGROUND;
    DwmSetWindowAttribute(window, DARK_MODE_ATTRIBUTE, &dark, sizeof dark);
    DwmSetWindowAttribute(window, CAPTION_COLOR_ATTRIBUTE, &frame, sizeof frame);
    DwmSetWindowAttribute(window, BORDER_COLOR_ATTRIBUTE, &frame, sizeof frame);
}

void CreateThemeFonts() {
    titleFont = MakeFont(L"Segoe UI", -26, FW_SEMIBOLD);
    statusFont = MakeFont(L"Malgun Gothic", -15, FW_NORMAL);
    bodyFont = MakeFont(L"Malgun Gothic", -13, FW_NORMAL);
    buttonFont = MakeFont(L"Malgun Gothic", -14, FW_SEMIBOLD);
}
