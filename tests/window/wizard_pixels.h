// Expectations on captured pixels of the wizard that several tests share.
#pragma once

#include "tests/window/setup_driver.h"

// The wizard's palette as the theme describes it, written out here rather than taken from the
// program, so that a colour changed in the program shows up as a failure.
constexpr COLORREF kBackground = RGB(22, 24, 26);  // client area, control backs
constexpr COLORREF kText = RGB(221, 221, 221);     // title, running status line, control text
constexpr COLORREF kMuted = RGB(136, 136, 136);    // subtitle, other steps, page texts
constexpr COLORREF kAccent = RGB(79, 195, 247);    // current step, lit bars, progress, finished status
constexpr COLORREF kTrack = RGB(50, 54, 58);       // unlit bars, separator, progress track
constexpr COLORREF kField = RGB(35, 38, 41);       // folder box and folder edit

// The step indicator for the page: label of the page in the accent colour and the others muted;
// bars lit up to and including the page, the rest in the track colour.
void ExpectStepIndicator(const Capture& capture, int page);

// The owner-drawn button at rect (client coordinates) is filled with fill and its caption is
// drawn in captionColor.
void ExpectButton(const Capture& capture, const RECT& rect, COLORREF fill, COLORREF captionColor);

// Text of colour color is drawn inside rect, and no text of colour absent.
void ExpectText(const Capture& capture, const RECT& rect, COLORREF color, COLORREF absent);
