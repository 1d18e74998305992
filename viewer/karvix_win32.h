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
// The note over List1 while the watched file can't be read.
constexpr int kKarvixErrorTextId = kKarvixControlIdBase + karvix::kControlCount;
// The icon and the manifest in karvix.rc.
constexpr int kKarvixIconId = 1;

// The not-found message goes through this (MessageBoxA unless replaced, so
// that tests can answer it).
using KarvixMessageBoxFn = int (*)(HWND owner, const char* text, const char* caption, UINT type);
extern KarvixMessageBoxFn KarvixMessageBox;

// Where KarvixShowText put its text.
enum class KarvixTextTarget { StdOutput, ParentConsole, MessageBox };
// The console of the process that started Karvix, opened for writing
// (AttachConsole(ATTACH_PARENT_PROCESS) and CONOUT$ unless replaced, so that
// tests can stand in for it); INVALID_HANDLE_VALUE when there is none.
using KarvixParentConsoleFn = HANDLE (*)();
extern KarvixParentConsoleFn KarvixParentConsole;

// Shows `text` (LF line ends) where the user of a windowed program sees it:
// the standard output when it takes the text (redirected to a file or pipe),
// else the console Karvix was started from, else a message box. Written
// text gets CR LF line ends.
KarvixTextTarget KarvixShowText(const std::string& text);
// --help and --version: shows their text and gives the exit status 0; -1
// when `commandText` asks for neither and the window is to start.
int Karvix_AnswerOption(const char* commandText);

// Creates Karvixfrm and runs Form_Load: `commandText` is the text after the
// program's name, `tableDirectory` the folder of "Direct Access table.txt".
// The window is shown with `show` and its timer started. NULL on failure.
HWND Karvixfrm_Create(HINSTANCE instance, const char* commandText, const char* tableDirectory, int show);

// The window's DPI (96 unless the process is DPI-aware on a denser screen).
UINT Karvixfrm_Dpi(HWND window);

// A control's tooltip as its tooltip control holds it; empty for none.
std::string Karvixfrm_ToolTip(HWND window, karvix::ControlId id);
// The note shown while the watched file can't be read; empty while hidden.
std::string Karvixfrm_ErrorText(HWND window);

// The message loop with keyboard navigation between the controls; returns
// the program's exit status when the window is gone.
int Karvixfrm_Run(HWND window);
