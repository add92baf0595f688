#pragma once
// The panel's logo at the size of its place in the dialog, which grows with the
// screen's DPI: the resource holds a drawing large enough for 300 %, with alpha.
#include "shell/win32/Win32.h"

namespace irisdesk {

// A bitmap of exactly `width` x `height` pixels: the logo scaled to fit, centred,
// on `background`. Null when the resource cannot be read.
HBITMAP MakeLogoBitmap(HINSTANCE instance, int width, int height, COLORREF background);

}  // namespace irisdesk
