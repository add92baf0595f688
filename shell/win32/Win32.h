#pragma once
// <windows.h> for the shell, without its IDOK and IDCANCEL macros: the panel names its
// control ids itself (panel/WindowOps.h), with the same values.
#include <windows.h>
#include <commctrl.h>
#undef IDOK
#undef IDCANCEL
