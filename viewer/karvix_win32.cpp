#include "karvix_win32.h"

#include <commctrl.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

KarvixMessageBoxFn KarvixMessageBox = [](HWND owner, const char* text, const char* caption, UINT type) {
    return MessageBoxA(owner, text, caption, type);
};

KarvixParentConsoleFn KarvixParentConsole = []() -> HANDLE {
    if (!AttachConsole(ATTACH_PARENT_PROCESS))
        return INVALID_HANDLE_VALUE;
    return CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
};

namespace {

const char kClassName[] = "Karvixfrm";
constexpr DWORD kWindowStyle = WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN;
constexpr DWORD kWindowExStyle = WS_EX_CONTROLPARENT;

// The note's colours, as the Qt window has them.
constexpr COLORREF kErrorTextColour = RGB(0xa0, 0x00, 0x00);
constexpr COLORREF kErrorBackColour = RGB(0xff, 0xf0, 0xf0);

struct Karvixfrm {
    HWND window = nullptr;
    HWND controls[karvix::kControlCount] = {};
    HWND toolTips = nullptr;
    HWND errorText = nullptr;
    HBRUSH errorBrush = nullptr;
    HFONT font = nullptr;
    UINT dpi = 96;
    karvix::KarvixView view;
};

Karvixfrm* State(HWND window)
{
    return reinterpret_cast<Karvixfrm*>(GetWindowLongPtrA(window, GWLP_USERDATA));
}

// The system's text for an error code, without its final full stop, and the
// code: "Access is denied (Windows error 5)".
std::string ErrorReason(DWORD code)
{
    char* message = nullptr;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, code, 0, reinterpret_cast<char*>(&message), 0, nullptr);
    std::string reason = length && message ? std::string(message, length) : std::string();
    LocalFree(message);
    size_t end = reason.find_last_not_of(" .\r\n");
    reason.resize(end == std::string::npos ? 0 : end + 1);
    if (reason.empty())
        reason = "Error";
    return reason + " (Windows error " + std::to_string(code) + ")";
}

// The whole file, opened with read and write sharing so that the logger keeps
// writing meanwhile. False when it can't be opened or read, with the reason
// in `reason` when given.
bool ReadWholeFile(const std::string& path, std::string* bytes, std::string* reason = nullptr)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        if (reason)
            *reason = ErrorReason(GetLastError());
        return false;
    }
    bytes->clear();
    char buffer[65536];
    DWORD got = 0;
    bool ok = true;
    while ((ok = ReadFile(file, buffer, sizeof buffer, &got, nullptr) != 0) && got > 0)
        bytes->append(buffer, got);
    if (!ok && reason)
        *reason = ErrorReason(GetLastError());
    CloseHandle(file);
    return ok;
}

// Writes all of `bytes`; false when the handle takes none or not all of it.
bool WriteAll(HANDLE handle, const std::string& bytes)
{
    if (!handle || handle == INVALID_HANDLE_VALUE)
        return false;
    size_t done = 0;
    while (done < bytes.size()) {
        DWORD wrote = 0;
        if (!WriteFile(handle, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &wrote, nullptr) ||
            wrote == 0)
            return false;
        done += wrote;
    }
    return true;
}

// The local time's offset from UTC now, in seconds.
int LocalOffsetSeconds()
{
    FILETIME utc, local;
    GetSystemTimeAsFileTime(&utc);
    if (!FileTimeToLocalFileTime(&utc, &local))
        return 0;
    auto ticks = [](const FILETIME& t) {
        return static_cast<long long>((static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
    };
    // FILETIME counts 100 ns steps.
    return static_cast<int>((ticks(local) - ticks(utc)) / 10000000);
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
        // They clip their siblings, so that the error note over List1 stays visible.
        *style |= WS_TABSTOP | WS_VSCROLL | LBS_NOINTEGRALHEIGHT | LBS_NOTIFY | WS_CLIPSIBLINGS;
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

// The pixels `text` takes in the font selected into `dc`.
int TextWidth(HDC dc, const char* text, int length)
{
    SIZE size = {};
    return GetTextExtentPoint32A(dc, text, length, &size) ? static_cast<int>(size.cx) : 0;
}

// The top line for the font in use (karvix::TopLine). The design's 735
// twips hold "HH:MM:SS" only in the original's narrow font, and its labels
// are wider in today's dialog font: a box too narrow hides a digit, a label
// under a box loses its last letters, the button both ends of its caption. The time boxes' margins shrink to a
// pixel on the left and none on the right (the caret's pixel is the right
// margin), and they get the room of their widest digits inside their own
// text rectangle.
void LayTopLine(Karvixfrm* form)
{
    HDC dc = GetDC(form->window);
    HGDIOBJ old = SelectObject(dc, form->font);
    int widestTime = 0;
    for (char d = '0'; d <= '9'; ++d) {
        const char sample[] = {d, d, ':', d, d, ':', d, d};
        widestTime = std::max(widestTime, TextWidth(dc, sample, sizeof sample));
    }
    std::array<int, karvix::kTopLineCount> needed{};
    for (int i = 0; i < karvix::kTopLineCount; ++i) {
        const karvix::ControlDesign& design = karvix::kControls[static_cast<size_t>(i)];
        HWND control = form->controls[i];
        if (design.kind == karvix::ControlKind::Label) {
            needed[static_cast<size_t>(i)] = TextWidth(dc, design.text, lstrlenA(design.text));
        } else if (design.id == karvix::Text1 || design.id == karvix::Text2) {
            SendMessageA(control, EM_SETMARGINS, EC_LEFTMARGIN | EC_RIGHTMARGIN, MAKELPARAM(Px(form, 15), 0));
            RECT outer, shown;
            GetWindowRect(control, &outer);
            SendMessageA(control, EM_GETRECT, 0, reinterpret_cast<LPARAM>(&shown));
            needed[static_cast<size_t>(i)] = outer.right - outer.left - (shown.right - shown.left) + widestTime + 1;
        } else if (design.id == karvix::Command1) {
            // The caption inside the button's frame and a pixel of padding each side.
            needed[static_cast<size_t>(i)] =
                TextWidth(dc, design.text, lstrlenA(design.text)) + 4 * GetSystemMetrics(SM_CXEDGE);
        }
    }
    SelectObject(dc, old);
    ReleaseDC(form->window, dc);
    std::array<karvix::Span, karvix::kTopLineCount> line = karvix::TopLine(needed, form->dpi);
    for (int i = 0; i < karvix::kTopLineCount; ++i) {
        const karvix::ControlDesign& design = karvix::kControls[static_cast<size_t>(i)];
        SetWindowPos(form->controls[i], nullptr, line[static_cast<size_t>(i)].left, Px(form, design.top),
                     line[static_cast<size_t>(i)].width, Px(form, design.height), SWP_NOZORDER | SWP_NOACTIVATE);
    }
}

// The tooltip control and the error note (hidden until needed).
bool CreateNotes(Karvixfrm* form, HINSTANCE instance)
{
    form->toolTips = CreateWindowExA(WS_EX_TOPMOST, TOOLTIPS_CLASSA, nullptr, WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX,
                                     CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, form->window, nullptr,
                                     instance, nullptr);
    form->errorText = CreateWindowExA(0, "STATIC", "", WS_CHILD | SS_LEFT, 0, 0, 0, 0, form->window,
                                      reinterpret_cast<HMENU>(static_cast<INT_PTR>(kKarvixErrorTextId)), instance,
                                      nullptr);
    form->errorBrush = CreateSolidBrush(kErrorBackColour);
    if (!form->toolTips || !form->errorText)
        return false;
    SendMessageA(form->errorText, WM_SETFONT, reinterpret_cast<WPARAM>(form->font), FALSE);
    // Lines break at "\n" and at this width; the notes stay up while read.
    SendMessageA(form->toolTips, TTM_SETMAXTIPWIDTH, 0, Px(form, 6000));
    SendMessageA(form->toolTips, TTM_SETDELAYTIME, TTDT_AUTOPOP, 30000);
    return true;
}

void SetToolTip(Karvixfrm* form, karvix::ControlId id, const std::string& text)
{
    TTTOOLINFOA tool = {};
    tool.cbSize = TTTOOLINFOA_V2_SIZE;
    tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    tool.hwnd = form->window;
    tool.uId = reinterpret_cast<UINT_PTR>(form->controls[id]);
    tool.lpszText = const_cast<char*>(text.c_str());
    SendMessageA(form->toolTips, TTM_DELTOOLA, 0, reinterpret_cast<LPARAM>(&tool));
    SendMessageA(form->toolTips, TTM_ADDTOOLA, 0, reinterpret_cast<LPARAM>(&tool));
}

// The note over List1's top, as wide as List1 less a margin and as high as
// its wrapped text.
void ShowReadError(Karvixfrm* form, const std::string& reason)
{
    std::string text = karvix::UnreadableText(form->view.DbFile(), reason);
    SetWindowTextA(form->errorText, text.c_str());
    RECT list;
    GetWindowRect(form->controls[karvix::List1], &list);
    MapWindowPoints(nullptr, form->window, reinterpret_cast<POINT*>(&list), 2);
    int inset = Px(form, 120);
    RECT area = {0, 0, std::max(0, static_cast<int>(list.right - list.left) - 2 * inset), 0};
    HDC dc = GetDC(form->errorText);
    HGDIOBJ old = SelectObject(dc, form->font);
    DrawTextA(dc, text.c_str(), static_cast<int>(text.size()), &area, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
    SelectObject(dc, old);
    ReleaseDC(form->errorText, dc);
    SetWindowPos(form->errorText, HWND_TOP, list.left + inset, list.top + inset, area.right, area.bottom,
                 SWP_SHOWWINDOW | SWP_NOACTIVATE);
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
    // A file that vanished or can't be read leaves the rows as they are and
    // is tried again at the next tick; the note says why meanwhile.
    std::string bytes, reason;
    if (!ReadWholeFile(form->view.DbFile(), &bytes, &reason)) {
        ShowReadError(form, reason);
        return;
    }
    ShowWindow(form->errorText, SW_HIDE);

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
    case WM_CTLCOLORSTATIC:
        if (form && reinterpret_cast<HWND>(lParam) == form->errorText) {
            HDC dc = reinterpret_cast<HDC>(wParam);
            SetTextColor(dc, kErrorTextColour);
            SetBkColor(dc, kErrorBackColour);
            return reinterpret_cast<LRESULT>(form->errorBrush);
        }
        break;
    case WM_DESTROY:
        KillTimer(window, kKarvixTimerId);
        PostQuitMessage(0);
        return 0;
    case WM_NCDESTROY:
        if (form) {
            SetWindowLongPtrA(window, GWLP_USERDATA, 0);
            if (form->font)
                DeleteObject(form->font);
            if (form->errorBrush)
                DeleteObject(form->errorBrush);
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
    if (!CreateControls(form, instance) || !CreateNotes(form, instance)) {
        DestroyWindow(window);
        return nullptr;
    }
    LayTopLine(form);
    const std::string timeNote = karvix::RefreshTimeNote(LocalOffsetSeconds());
    SetToolTip(form, karvix::Text1, timeNote);
    SetToolTip(form, karvix::Text2, timeNote);

    // Form_Load. The table lies beside the program, or else beside the
    // watched file; a missing or unreadable table is an empty one.
    form->view.Start(commandText, {});
    std::string table, used;
    std::vector<std::string> searched;
    for (const std::string& directory : karvix::TableDirectories(tableDirectory, form->view.DbFile())) {
        std::string path = directory + "\\" + karvix::kTableFileName;
        if (ReadWholeFile(path, &table)) {
            used = path;
            break;
        }
        table.clear();
        searched.push_back(path);
    }
    form->view.SetTable(table);
    SetToolTip(form, karvix::List1, karvix::List1Note(used, searched));
    SetWindowTextA(window, form->view.Caption().c_str());
    ShowWindow(window, show);
    SetFocus(form->controls[karvix::List1]);  // first in the tab order
    SetTimer(window, kKarvixTimerId, karvix::kTickMs, nullptr);
    return window;
}

std::string Karvixfrm_ToolTip(HWND window, karvix::ControlId id)
{
    Karvixfrm* form = State(window);
    if (!form)
        return {};
    // The wide message: the narrow one gives at most 80 characters.
    wchar_t text[4096] = L"";
    TTTOOLINFOW tool = {};
    tool.cbSize = TTTOOLINFOW_V2_SIZE;
    tool.hwnd = window;
    tool.uId = reinterpret_cast<UINT_PTR>(form->controls[id]);
    tool.lpszText = text;
    SendMessageW(form->toolTips, TTM_GETTEXTW, sizeof text / sizeof text[0], reinterpret_cast<LPARAM>(&tool));
    int length = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string ansi(static_cast<size_t>(length > 0 ? length : 1), '\0');
    if (length > 0)
        WideCharToMultiByte(CP_ACP, 0, text, -1, &ansi[0], length, nullptr, nullptr);
    ansi.resize(ansi.size() - 1);
    return ansi;
}

std::string Karvixfrm_ErrorText(HWND window)
{
    Karvixfrm* form = State(window);
    return form && IsWindowVisible(form->errorText) ? WindowText(form->errorText) : std::string();
}

KarvixTextTarget KarvixShowText(const std::string& text)
{
    std::string lines;
    for (char c : text) {
        if (c == '\n')
            lines += '\r';
        lines += c;
    }
    if (WriteAll(GetStdHandle(STD_OUTPUT_HANDLE), lines))
        return KarvixTextTarget::StdOutput;
    HANDLE console = KarvixParentConsole();
    bool written = WriteAll(console, lines);
    if (console != INVALID_HANDLE_VALUE)
        CloseHandle(console);
    if (written)
        return KarvixTextTarget::ParentConsole;
    KarvixMessageBox(nullptr, text.c_str(), karvix::kDesignCaption, MB_OK | MB_ICONINFORMATION);
    return KarvixTextTarget::MessageBox;
}

int Karvix_AnswerOption(const char* commandText)
{
    // Debian ships no SQLite for mingw: this Karvix has no history chart.
    switch (karvix::StartOptionOf(commandText)) {
    case karvix::StartOption::Help:
        KarvixShowText(karvix::UsageText(false));
        return 0;
    case karvix::StartOption::Version:
        KarvixShowText(karvix::VersionText());
        return 0;
    case karvix::StartOption::None:
        break;
    }
    return -1;
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
