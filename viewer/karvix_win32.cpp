#include "karvix_win32.h"

#include <commctrl.h>

#include <string>
#include <vector>

KarvixMessageBoxFn KarvixMessageBox = [](HWND owner, const char* text, const char* caption, UINT type) {
    return MessageBoxA(owner, text, caption, type);
};

namespace {

const char kClassName[] = "Karvixfrm";
constexpr DWORD kWindowStyle = WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN;
constexpr DWORD kWindowExStyle = WS_EX_CONTROLPARENT;

struct Karvixfrm {
    HWND window = nullptr;
    HWND controls[karvix::kControlCount] = {};
    HFONT font = nullptr;
    UINT dpi = 96;
    karvix::KarvixView view;
};

Karvixfrm* State(HWND window)
{
    return reinterpret_cast<Karvixfrm*>(GetWindowLongPtrA(window, GWLP_USERDATA));
}

// The whole file, opened with read and write sharing so that the logger keeps
// writing meanwhile. False when it can't be opened or read.
bool ReadWholeFile(const std::string& path, std::string* bytes)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    bytes->clear();
    char buffer[65536];
    DWORD got = 0;
    bool ok = true;
    while ((ok = ReadFile(file, buffer, sizeof buffer, &got, nullptr) != 0) && got > 0)
        bytes->append(buffer, got);
    CloseHandle(file);
    return ok;
}

// The file's volume serial and file index: another file renamed into place
// has another. Zero when the file can't be opened for its attributes.
void FileIdentity(const std::string& path, karvix::FileStamp* stamp)
{
    HANDLE file = CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(file, &info)) {
        stamp->identity = (static_cast<ULONGLONG>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
        stamp->device = info.dwVolumeSerialNumber;
    }
    CloseHandle(file);
}

// The file's last-write time to the millisecond, its size and identity;
// false when the path names no file (missing, a directory, or unreadable
// attributes).
bool FileExists(const std::string& folderspec, karvix::FileStamp* stamp)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (folderspec.empty() || !GetFileAttributesExA(folderspec.c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        MessageBeep(MB_OK);
        return false;
    }
    ULONGLONG written = (static_cast<ULONGLONG>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                        data.ftLastWriteTime.dwLowDateTime;
    // FILETIME counts 100 ns steps.
    stamp->modified = static_cast<long long>(written / 10000);
    stamp->size = static_cast<long long>((static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
    FileIdentity(folderspec, stamp);
    return true;
}

std::string WindowText(HWND window)
{
    std::string text(static_cast<size_t>(GetWindowTextLengthA(window)) + 1, '\0');
    text.resize(static_cast<size_t>(GetWindowTextA(window, &text[0], static_cast<int>(text.size()))));
    return text;
}

const char* ClassOf(karvix::ControlKind kind, DWORD* style, DWORD* exStyle)
{
    *style = WS_CHILD | WS_VISIBLE;
    *exStyle = 0;
    switch (kind) {
    case karvix::ControlKind::Label:
        *style |= SS_LEFT;
        return "STATIC";
    case karvix::ControlKind::TextBox:
        *style |= WS_TABSTOP | ES_AUTOHSCROLL;
        *exStyle = WS_EX_CLIENTEDGE;
        return "EDIT";
    case karvix::ControlKind::Button:
        *style |= WS_TABSTOP | BS_PUSHBUTTON;
        return "BUTTON";
    case karvix::ControlKind::List:
        // Unsorted, single selection; the height is the design's, not rounded to whole rows.
        *style |= WS_TABSTOP | WS_VSCROLL | LBS_NOINTEGRALHEIGHT | LBS_NOTIFY;
        *exStyle = WS_EX_CLIENTEDGE;
        return "LISTBOX";
    }
    return "STATIC";
}

int Px(const Karvixfrm* form, int twips)
{
    return karvix::TwipsToPixels(twips, form->dpi);
}

// The controls in tab order (creation order is the tab order), at the
// design's place converted with the window's DPI. The font is the system's
// dialog font at the design's 8 points (the design's own, MS Sans Serif, is
// wider than the text boxes on current systems).
bool CreateControls(Karvixfrm* form, HINSTANCE instance)
{
    form->font = CreateFontA(-MulDiv(karvix::kDesignFontPoints, static_cast<int>(form->dpi), 72), 0, 0, 0, FW_NORMAL,
                             FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                             DEFAULT_QUALITY, DEFAULT_PITCH | FF_SWISS, "MS Shell Dlg 2");
    for (karvix::ControlId id : karvix::ControlsInTabOrder()) {
        const karvix::ControlDesign& design = karvix::kControls[id];
        DWORD style = 0, exStyle = 0;
        const char* className = ClassOf(design.kind, &style, &exStyle);
        HWND control = CreateWindowExA(exStyle, className, design.text, style, Px(form, design.left),
                                       Px(form, design.top), Px(form, design.width), Px(form, design.height),
                                       form->window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(kKarvixControlIdBase + id)),
                                       instance, nullptr);
        if (!control)
            return false;
        SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(form->font), FALSE);
        form->controls[id] = control;
    }
    return true;
}

// The window's outer size for the design's client area at its DPI.
void SizeToDesign(Karvixfrm* form)
{
    RECT rect = {0, 0, Px(form, karvix::kClientWidthTwips), Px(form, karvix::kClientHeightTwips)};
    AdjustWindowRectEx(&rect, kWindowStyle, FALSE, kWindowExStyle);
    SetWindowPos(form->window, nullptr, 0, 0, rect.right - rect.left, rect.bottom - rect.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// Rows 0..count-1 of a list box as the view holds them; the row just past
// the end is appended. The scroll position is kept.
void WriteRows(HWND list, const std::vector<std::string>& rows, size_t count)
{
    SendMessageA(list, WM_SETREDRAW, FALSE, 0);
    LRESULT top = SendMessageA(list, LB_GETTOPINDEX, 0, 0);
    for (size_t i = 0; i < count; ++i) {
        WPARAM row = static_cast<WPARAM>(i);
        LPARAM text = reinterpret_cast<LPARAM>(rows[i].c_str());
        if (static_cast<LRESULT>(i) < SendMessageA(list, LB_GETCOUNT, 0, 0)) {
            SendMessageA(list, LB_DELETESTRING, row, 0);
            SendMessageA(list, LB_INSERTSTRING, row, text);
        } else {
            SendMessageA(list, LB_ADDSTRING, 0, text);
        }
    }
    SendMessageA(list, LB_SETTOPINDEX, static_cast<WPARAM>(top), 0);
    SendMessageA(list, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(list, nullptr, TRUE);
}

void ResizeList1(Karvixfrm* form)
{
    RECT outer;
    GetWindowRect(form->window, &outer);
    karvix::Size size = karvix::List1Size({outer.right - outer.left, outer.bottom - outer.top}, form->dpi);
    SetWindowPos(form->controls[karvix::List1], nullptr, 0, 0, size.width, size.height,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void ReportMissingFile(Karvixfrm* form)
{
    // The box runs its own message loop: the timer stops first.
    KillTimer(form->window, kKarvixTimerId);
    KarvixMessageBox(form->window, form->view.NotFoundText().c_str(), karvix::kDesignCaption, MB_OK);
    DestroyWindow(form->window);
}

void TmrTimer_Timer(Karvixfrm* form)
{
    karvix::FileStamp stamp{};
    bool exists = FileExists(form->view.DbFile(), &stamp);
    switch (form->view.Tick(exists ? &stamp : nullptr)) {
    case karvix::TickAction::NotFound:
        ReportMissingFile(form);
        return;
    case karvix::TickAction::Refresh:
        break;
    default:
        return;
    }
    // A file that vanished or can't be read leaves the window as it is and
    // is tried again at the next tick.
    std::string bytes;
    if (!ReadWholeFile(form->view.DbFile(), &bytes))
        return;

    size_t written = form->view.Refresh(bytes);
    SetWindowTextA(form->controls[karvix::Text1], WindowText(form->controls[karvix::Text2]).c_str());
    SYSTEMTIME now;
    GetLocalTime(&now);
    std::string time = karvix::FormatTimeOfDay(now.wHour * 3600 + now.wMinute * 60 + now.wSecond);
    SetWindowTextA(form->controls[karvix::Text2], time.c_str());
    WriteRows(form->controls[karvix::List1], form->view.List1Rows(), written);
    WriteRows(form->controls[karvix::List3], form->view.List3Rows(), written);
    ResizeList1(form);
    SetWindowTextA(form->controls[karvix::Expect], std::to_string(form->view.Count()).c_str());
}

// Places `bytes` on the open clipboard in `format`; the clipboard owns it then.
void PutOnClipboard(UINT format, const void* bytes, size_t size)
{
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, size);
    if (!memory)
        return;
    void* target = GlobalLock(memory);
    if (!target) {
        GlobalFree(memory);
        return;
    }
    memcpy(target, bytes, size);
    GlobalUnlock(memory);
    if (!SetClipboardData(format, memory))
        GlobalFree(memory);
}

void Command1_Click(Karvixfrm* form)
{
    std::string text = karvix::SnapshotText(form->view.List1Rows());
    // The same text in UTF-16, converted from the ANSI code page.
    int wideLength = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
    std::wstring wide(static_cast<size_t>(wideLength > 0 ? wideLength : 1), L'\0');
    if (wideLength > 0)
        MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, &wide[0], wideLength);
    if (!OpenClipboard(form->window))
        return;
    EmptyClipboard();
    PutOnClipboard(CF_TEXT, text.c_str(), text.size() + 1);
    PutOnClipboard(CF_UNICODETEXT, wide.c_str(), wide.size() * sizeof(wchar_t));
    CloseClipboard();
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    Karvixfrm* form = State(window);
    switch (message) {
    case WM_NCCREATE: {
        auto* created = reinterpret_cast<CREATESTRUCTA*>(lParam);
        SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(created->lpCreateParams));
        static_cast<Karvixfrm*>(created->lpCreateParams)->window = window;
        break;
    }
    case WM_TIMER:
        if (form && wParam == kKarvixTimerId)
            TmrTimer_Timer(form);
        return 0;
    case WM_COMMAND:
        if (form && LOWORD(wParam) == kKarvixControlIdBase + karvix::Command1 && HIWORD(wParam) == BN_CLICKED)
            Command1_Click(form);
        return 0;
    case WM_DESTROY:
        KillTimer(window, kKarvixTimerId);
        PostQuitMessage(0);
        return 0;
    case WM_NCDESTROY:
        if (form) {
            SetWindowLongPtrA(window, GWLP_USERDATA, 0);
            if (form->font)
                DeleteObject(form->font);
            delete form;
        }
        break;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

bool RegisterKarvixClass(HINSTANCE instance)
{
    WNDCLASSEXA wc = {};
    if (GetClassInfoExA(instance, kClassName, &wc))
        return true;
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = instance;
    wc.hIcon = static_cast<HICON>(LoadImageA(instance, MAKEINTRESOURCEA(kKarvixIconId), IMAGE_ICON,
                                             GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), 0));
    wc.hIconSm = static_cast<HICON>(LoadImageA(instance, MAKEINTRESOURCEA(kKarvixIconId), IMAGE_ICON,
                                               GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0));
    wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = kClassName;
    return RegisterClassExA(&wc) != 0;
}

}  // namespace

UINT Karvixfrm_Dpi(HWND window)
{
    // GetDpiForWindow exists from Windows 10 on; older systems have one DPI.
    using DpiForWindow = UINT(WINAPI*)(HWND);
    static const auto dpiForWindow = reinterpret_cast<DpiForWindow>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleA("user32.dll"), "GetDpiForWindow")));
    if (dpiForWindow) {
        UINT dpi = dpiForWindow(window);
        if (dpi)
            return dpi;
    }
    HDC screen = GetDC(nullptr);
    int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    return dpi > 0 ? static_cast<UINT>(dpi) : 96;
}

HWND Karvixfrm_Create(HINSTANCE instance, const char* commandText, const char* tableDirectory, int show)
{
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    if (!RegisterKarvixClass(instance))
        return nullptr;
    auto* form = new Karvixfrm;
    // Owned by the window from WM_NCCREATE on, freed at WM_NCDESTROY.
    HWND window = CreateWindowExA(kWindowExStyle, kClassName, karvix::kDesignCaption, kWindowStyle, CW_USEDEFAULT,
                                  CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, instance, form);
    if (!window) {
        delete form;
        return nullptr;
    }
    form->dpi = Karvixfrm_Dpi(window);
    SizeToDesign(form);
    if (!CreateControls(form, instance)) {
        DestroyWindow(window);
        return nullptr;
    }

    // Form_Load. The table lies beside the program, or else beside the
    // watched file; a missing or unreadable table is an empty one.
    form->view.Start(commandText, {});
    std::string table;
    for (const std::string& directory : karvix::TableDirectories(tableDirectory, form->view.DbFile())) {
        if (ReadWholeFile(directory + "\\" + karvix::kTableFileName, &table))
            break;
        table.clear();
    }
    form->view.SetTable(table);
    SetWindowTextA(window, form->view.Caption().c_str());
    ShowWindow(window, show);
    SetFocus(form->controls[karvix::List1]);  // first in the tab order
    SetTimer(window, kKarvixTimerId, karvix::kTickMs, nullptr);
    return window;
}

int Karvixfrm_Run(HWND window)
{
    MSG message;
    int got;
    while ((got = GetMessageA(&message, nullptr, 0, 0)) > 0) {
        if (IsWindow(window) && IsDialogMessageA(window, &message))
            continue;
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return got < 0 ? 1 : static_cast<int>(message.wParam);
}
