// Expectations on captured pixels of the wizard that several tests share.
#pragma once

#include "tests/window/setup_driver.h"

// The step indicator for the page: label of the page in the accent colour and the others muted;
// bars lit up to and including the page, the rest in the track colour.
void ExpectStepIndicator(const Capture& capture, int page);

// The owner-drawn button at rect (client coordinates) is filled with fill and its caption is
// drawn in captionColor.
void ExpectButton(const Capture& capture, const RECT& rect, COLORREF fill, COLORREF captionColor);

// Text of colour color is drawn inside rect, and no text of colour absent.
void ExpectText(const Capture& capture, const RECT& rect, COLORREF color, COLORREF absent);
