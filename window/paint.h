// Everything that draws the wizard window: the off-screen composed client area, the owner-drawn
// buttons and the colours of the standard controls. Window thread only.
#pragma once

#include <windows.h>

// WM_PAINT: composes the whole client area off screen (header, logo, step indicator, the page's
// texts and the progress bar, from installState) and copies it to the window in one BitBlt.
void PaintWizard(HWND window);

// WM_DRAWITEM for the owner-drawn push buttons: fill by state and id, caption centred in
// buttonFont. The caller returns TRUE.
void DrawWizardButton(const DRAWITEMSTRUCT& item);

// WM_CTLCOLOREDIT, WM_CTLCOLORBTN and WM_CTLCOLORSTATIC: sets the text and background colours
// on dc and returns the brush for the control's background (THEME_FIELD for edits asking with
// WM_CTLCOLOREDIT, THEME_BACKGROUND otherwise). The two brushes are made on first use and live
// for the process; the caller must not delete them.
HBRUSH ColorControl(UINT message, HDC dc);

// WM_TIMER: invalidates the client area (no erase) while the progress is the marquee value,
// otherwise does nothing.
void OnMarqueeTick(HWND window);

// Right edge of the progress fill for progress 0 to 1000 in a client area width pixels wide
// (the track runs from 36 to width - 36).
int ProgressFillRight(int width, int progress);

// The marquee segment at clock value tickMs (milliseconds) in a client area width pixels wide.
// True with left < right (pixels, right exclusive) when there is something to draw; false when
// the cycle is at its empty start.
bool MarqueeSegment(ULONGLONG tickMs, int width, int& left, int& right);
