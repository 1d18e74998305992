// Karvixfrm as a native Win32 window: the controls, the 100 ms timer, the
// message box and the clipboard. Every rule comes from karvix::KarvixView;
// this unit only moves its results into the controls. Text is handled as
// bytes in the system's ANSI code page, as the logger writes it.
#pragma once

#include <windows.h>

#include "karvix_view.h"

// Child window ids: kKarvixControlIdBase + karvix::ControlId.
constexpr int kKarvixControlIdBase = 100;
constexpr UINT_PTR kKarvixTimerId = 1;
// The icon and the manifest in karvix.rc.
constexpr int kKarvixIconId = 1;

// The not-found message goes through this (MessageBoxA unless replaced, so
// that tests can answer it).
using KarvixMessageBoxFn = int (*)(HWND owner, const char* text, const char* caption, UINT type);
extern KarvixMessageBoxFn KarvixMessageBox;

// Creates Karvixfrm and runs Form_Load: `commandText` is the text after the
// program's name, `tableDirectory` the folder of "Direct Access table.txt".
// The window is shown with `show` and its timer started. NULL on failure.
HWND Karvixfrm_Create(HINSTANCE instance, const char* commandText, const char* tableDirectory, int show);

// The window's DPI (96 unless the process is DPI-aware on a denser screen).
UINT Karvixfrm_Dpi(HWND window);

// The message loop with keyboard navigation between the controls; returns
// the program's exit status when the window is gone.
int Karvixfrm_Run(HWND window);
