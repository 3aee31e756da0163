// The one dark theme of the wizard: palette, fonts and the dark window frame.
#pragma once

#include <windows.h>

constexpr COLORREF THEME_BACKGROUND = RGB(22, 24, 26);   // client, caption, border, control backs
constexpr COLORREF THEME_TEXT = RGB(221, 221, 221);      // title, status line, control text
constexpr COLORREF THEME_MUTED = RGB(136, 136, 136);     // subtitle, other steps, page texts
constexpr COLORREF THEME_ACCENT = RGB(79, 195, 247);     // current step, lit bars, progress
constexpr COLORREF THEME_TRACK = RGB(50, 54, 58);        // unlit bars, separator, progress track
constexpr COLORREF THEME_FIELD = RGB(35, 38, 41);        // folder box and folder edit back

// The four fonts. Created once by CreateThemeFonts and never deleted: they live for the process
// (the controls hold bodyFont until the window is gone). Null before CreateThemeFonts.
extern HFONT titleFont;   // "Segoe UI" 26 px semibold: the title
extern HFONT statusFont;  // "Malgun Gothic" 15 px: the status line of the progress page
extern HFONT bodyFont;    // "Malgun Gothic" 13 px: subtitle, steps, page texts, the controls
extern HFONT buttonFont;  // "Malgun Gothic" 14 px semibold: owner-drawn button captions

// Asks the desktop window manager for a dark caption and a caption and border of
// THEME_BACKGROUND. Results are ignored: an older system simply keeps its own frame.
void ApplyDarkFrame(HWND window);

// Creates titleFont, statusFont, bodyFont and buttonFont, in that order. Call once, from
// WM_CREATE, before any control exists.
void CreateThemeFonts();
