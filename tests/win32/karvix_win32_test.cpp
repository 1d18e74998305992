// Karvixfrm, the Win32 viewer window, created for real and driven the way
// Windows drives it: WM_TIMER for the ticks, BM_CLICK for the button; the
// controls are read back with LB_GETCOUNT/LB_GETTEXT, WM_GETTEXTLENGTH/
// WM_GETTEXT, the tooltip control and the clipboard. File times are set,
// never waited for. Also --help and --version, over pipes that stand in for
// the standard output and the parent's console.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "karvix_win32.h"

namespace {

const char kScratchpad[] = "BE2A00FFFF0C10100C55";

std::string Serial(int i)
{
    char text[17];
    snprintf(text, sizeof text, "28FF00112233%04X", i);
    return text;
}

// The record as the logger leaves it: the line padded to 98, CR LF.
std::string Record(int i, const char* temperatures = "21.000,21.063")
{
    std::string line =
        std::to_string(1700000000 + i) + ".123," + Serial(i) + "," + kScratchpad + "," + temperatures + " ";
    return line + std::string(98 - line.size(), ' ') + "\r\n";
}

std::string PoolFile(int total, int measuredEvery, int measuredBelow)
{
    std::string bytes;
    for (int r = 0; r < total; ++r)
        bytes += r % measuredEvery == 0 && r < measuredBelow ? Record(r) : ",,,," + std::string(94, ' ') + "\r\n";
    return bytes;
}

// The row of List1 for record i with the table of the fixture.
std::string Row(int i, const char* temperatures = "21.000,21.063")
{
    char time[16];
    int second = (23 * 3600 + 13 * 60 + 20 + i) % 86400;
    snprintf(time, sizeof time, "%02d:%02d:%02d", second / 3600, second / 60 % 60, second % 60);
    return std::string(time) + "," + Serial(i) + "," + kScratchpad + "," + temperatures + "  -  " +
           std::to_string(i) + " Room" + std::to_string(i);
}

std::string Text(HWND window)
{
    LRESULT length = SendMessageA(window, WM_GETTEXTLENGTH, 0, 0);
    std::string text(static_cast<size_t>(length) + 1, '\0');
    LRESULT got = SendMessageA(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(&text[0]));
    text.resize(static_cast<size_t>(got));
    return text;
}

std::vector<std::string> Rows(HWND list)
{
    std::vector<std::string> rows;
    LRESULT count = SendMessageA(list, LB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        std::string row(static_cast<size_t>(SendMessageA(list, LB_GETTEXTLEN, i, 0)) + 1, '\0');
        row.resize(static_cast<size_t>(SendMessageA(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(&row[0]))));
        rows.push_back(row);
    }
    return rows;
}

RECT ClientRect(HWND control)
{
    RECT rect;
    GetWindowRect(control, &rect);
    MapWindowPoints(nullptr, GetParent(control), reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

bool IsTimeOfDay(const std::string& s)
{
    return s.size() == 8 && s[2] == ':' && s[5] == ':' && s.find_first_not_of("0123456789:") == std::string::npos;
}

// What the not-found message box was asked to show.
struct Box {
    std::string text;
    std::string caption;
    UINT type;
    BOOL timerWasRunning;
};
std::vector<Box> gBoxes;

int AnswerBox(HWND owner, const char* text, const char* caption, UINT type)
{
    // A timer still running would be removed here: KillTimer tells.
    BOOL running = KillTimer(owner, kKarvixTimerId);
    gBoxes.push_back({text, caption, type, running});
    // A tick while the box is up must not show a second one.
    SendMessageA(owner, WM_TIMER, kKarvixTimerId, 0);
    return IDOK;
}

class KarvixWindow : public ::testing::Test {
protected:
    void SetUp() override
    {
        char temp[MAX_PATH];
        GetTempPathA(sizeof temp, temp);
        static int serial = 0;
        dir_ = std::string(temp) + "karvix-test-" + std::to_string(GetCurrentProcessId()) + "-" +
               std::to_string(++serial);
        ASSERT_TRUE(CreateDirectoryA(dir_.c_str(), nullptr));
        std::string table;
        for (int i = 0; i < 60; ++i)
            table += Serial(i) + " " + std::to_string(i) + " Room" + std::to_string(i) + "\r\n";
        table += "28FF00112233FFFF 99 Caf\xe9\r\n";  // a byte of the ANSI code page
        WriteBytes(dir_ + "\\Direct Access table.txt", table, 0);
        gBoxes.clear();
        KarvixMessageBox = AnswerBox;
    }

    void TearDown() override
    {
        if (window_ && IsWindow(window_))
            DestroyWindow(window_);
        DrainMessages();
        for (const char* name : {"temp.pd", "Direct Access table.txt"})
            DeleteFileA((dir_ + "\\" + name).c_str());
        RemoveDirectoryA(dir_.c_str());
    }

    // Writes a file whose last-write time is a fixed base plus `laterMs`.
    static void WriteBytes(const std::string& path, const std::string& bytes, int laterMs)
    {
        HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
        SYSTEMTIME base = {2026, 12, 2, 8, 12, 0, 0, 100};
        FILETIME time;
        SystemTimeToFileTime(&base, &time);
        ULARGE_INTEGER t = {{time.dwLowDateTime, time.dwHighDateTime}};
        t.QuadPart += static_cast<ULONGLONG>(laterMs) * 10000;
        time = {t.LowPart, t.HighPart};
        ASSERT_TRUE(SetFileTime(file, nullptr, nullptr, &time));
        CloseHandle(file);
    }

    void WriteCapture(const std::string& bytes, int laterMs = 0) { WriteBytes(CapturePath(), bytes, laterMs); }
    std::string CapturePath() const { return dir_ + "\\temp.pd"; }

    HWND Start(const std::string& commandText)
    {
        window_ = Karvixfrm_Create(GetModuleHandleA(nullptr), commandText.c_str(), dir_.c_str(), SW_SHOWNORMAL);
        EXPECT_NE(window_, nullptr) << "CreateWindow failed, error " << GetLastError();
        return window_;
    }

    void Tick() { SendMessageA(window_, WM_TIMER, kKarvixTimerId, 0); }
    HWND Control(karvix::ControlId id) const { return GetDlgItem(window_, kKarvixControlIdBase + id); }

    static void DrainMessages()
    {
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE))
            if (message.message != WM_QUIT)
                DispatchMessageA(&message);
    }

    std::string dir_;
    HWND window_ = nullptr;
};

TEST_F(KarvixWindow, CaptionDesignTextsAndIcon)
{
    const struct {
        const char* commandText;
        const char* caption;
    } starts[] = {
        {"", "Karvix of E:\\temp.pd"},
        {"C:\\data\\temp.pd more words", "Karvix of C:\\data\\temp.pd"},
        {"\"C:\\My Data\\temp.pd\"", "Karvix of \"C:\\My"},
    };
    for (const auto& s : starts) {
        Start(s.commandText);  // no tick: E:\temp.pd need not exist
        EXPECT_EQ(Text(window_), s.caption);
        DestroyWindow(window_);
        DrainMessages();
    }

    Start(CapturePath());
    char className[64];
    GetClassNameA(window_, className, sizeof className);
    EXPECT_STREQ(className, "Karvixfrm");
    EXPECT_NE(GetClassLongPtrA(window_, GCLP_HICON), 0u) << "the icon resource";
    EXPECT_TRUE(GetWindowLongA(window_, GWL_STYLE) & WS_THICKFRAME) << "a sizable frame";
    EXPECT_EQ(GetFocus(), Control(karvix::List1));

    const struct {
        karvix::ControlId id;
        const char* className;
        const char* text;
    } controls[] = {
        {karvix::Label1, "Static", "Current"},
        {karvix::Text1, "Edit", ""},
        {karvix::Label2, "Static", "Previous"},
        {karvix::Text2, "Edit", ""},
        {karvix::Label17, "Static", "Records Found"},
        {karvix::Expect, "Edit", "21"},
        {karvix::Command1, "Button", "Snapshot to Clipboard"},
        {karvix::List1, "ListBox", ""},
        {karvix::List3, "ListBox", ""},
    };
    for (const auto& c : controls) {
        HWND control = Control(c.id);
        ASSERT_NE(control, nullptr) << karvix::kControls[c.id].name;
        GetClassNameA(control, className, sizeof className);
        EXPECT_EQ(lstrcmpiA(className, c.className), 0) << karvix::kControls[c.id].name << " is a " << className;
        if (c.className[0] == 'L')
            EXPECT_EQ(SendMessageA(control, LB_GETCOUNT, 0, 0), 0);
        else
            EXPECT_EQ(Text(control), c.text) << karvix::kControls[c.id].name;
    }
}

// The local time's offset from UTC as the zone settings give it.
int ZoneOffsetSeconds()
{
    TIME_ZONE_INFORMATION zone;
    DWORD id = GetTimeZoneInformation(&zone);
    LONG bias = zone.Bias + (id == TIME_ZONE_ID_DAYLIGHT ? zone.DaylightBias
                             : id == TIME_ZONE_ID_STANDARD ? zone.StandardBias
                                                           : 0);
    return -bias * 60;
}

// The pixels a text takes in a control's font.
int TextWidth(HWND control, const std::string& text)
{
    HDC dc = GetDC(control);
    HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageA(control, WM_GETFONT, 0, 0)));
    SIZE size = {};
    GetTextExtentPoint32A(dc, text.c_str(), static_cast<int>(text.size()), &size);
    SelectObject(dc, old);
    ReleaseDC(control, dc);
    return size.cx;
}

TEST_F(KarvixWindow, GeometryAt96DpiAndTabOrder)
{
    Start(CapturePath());
    if (Karvixfrm_Dpi(window_) != 96)
        GTEST_SKIP() << "pixel geometry is checked at 96 dpi, the display has " << Karvixfrm_Dpi(window_);
    RECT client;
    GetClientRect(window_, &client);
    EXPECT_EQ(client.right, 654);
    EXPECT_EQ(client.bottom, 473);
    const struct {
        karvix::ControlId id;
        RECT rect;  // left, top, right, bottom in client pixels
    } expected[] = {
        {karvix::Label1, {8, 0, 65, 17}},      {karvix::Text1, {48, 0, 97, 19}},
        {karvix::Label2, {104, 0, 153, 17}},   {karvix::Text2, {152, 0, 201, 19}},
        {karvix::Label17, {224, 0, 305, 25}},  {karvix::Expect, {312, 0, 345, 19}},
        {karvix::Command1, {368, 0, 489, 23}}, {karvix::List1, {6, 28, 647, 461}},
        {karvix::List3, {626, 419, 639, 436}},
    };
    for (const auto& e : expected) {
        RECT got = ClientRect(Control(e.id));
        // The top line makes room for the font in use: its controls may move right, and labels end
        // at the next control; top and height are the design's.
        if (e.id < karvix::kTopLineCount) {
            EXPECT_GE(got.left, e.rect.left) << karvix::kControls[e.id].name;
            EXPECT_EQ(got.top, e.rect.top) << karvix::kControls[e.id].name;
            EXPECT_EQ(got.bottom, e.rect.bottom) << karvix::kControls[e.id].name;
            if (karvix::kControls[e.id].kind != karvix::ControlKind::Label) {
                EXPECT_GE(got.right - got.left, e.rect.right - e.rect.left) << karvix::kControls[e.id].name;
            }
            continue;
        }
        EXPECT_TRUE(EqualRect(&got, &e.rect)) << karvix::kControls[e.id].name << ": " << got.left << "," << got.top
                                              << " " << got.right << "," << got.bottom;
    }

    // Along the top line no control covers another: each label's text ends before its box and its
    // rectangle where the box starts, each box before the next label.
    const karvix::ControlId line[] = {karvix::Label1, karvix::Text1,   karvix::Label2, karvix::Text2,
                                      karvix::Label17, karvix::Expect, karvix::Command1};
    for (size_t i = 0; i + 1 < std::size(line); ++i) {
        RECT at = ClientRect(Control(line[i])), next = ClientRect(Control(line[i + 1]));
        int end = karvix::kControls[line[i]].kind == karvix::ControlKind::Label
                      ? at.left + TextWidth(Control(line[i]), Text(Control(line[i])))
                      : at.right;
        EXPECT_LE(end, next.left) << karvix::kControls[line[i]].name << "'s text reaches into "
                                  << karvix::kControls[line[i + 1]].name;
        EXPECT_LE(at.right, next.left) << karvix::kControls[line[i]].name << " lies over "
                                       << karvix::kControls[line[i + 1]].name;
    }
    // The button's caption with its 3-pixel frame and a pixel of padding each side.
    RECT button = ClientRect(Control(karvix::Command1));
    EXPECT_LE(TextWidth(Control(karvix::Command1), "Snapshot to Clipboard") + 8, button.right - button.left);

    // Tab moves List1 -> Text1 -> Text2 -> Expect -> List3 -> Command1 -> List1; labels take no focus.
    std::vector<HWND> chain;
    HWND at = Control(karvix::List1);
    do {
        chain.push_back(at);
        at = GetNextDlgTabItem(window_, at, FALSE);
    } while (at && at != Control(karvix::List1) && chain.size() < 20);
    std::vector<HWND> expectedChain;
    for (karvix::ControlId id : {karvix::List1, karvix::Text1, karvix::Text2, karvix::Expect, karvix::List3,
                                 karvix::Command1})
        expectedChain.push_back(Control(id));
    EXPECT_EQ(chain, expectedChain);
}

TEST_F(KarvixWindow, RowsAfterARecordIsRewritten)
{
    WriteCapture(PoolFile(41, 2, 36));  // 18 measured records: 0, 2, ... 34
    Start(CapturePath());
    Tick();
    EXPECT_EQ(Text(Control(karvix::Expect)), "18");
    EXPECT_EQ(Text(Control(karvix::Text1)), "");
    std::string firstTime = Text(Control(karvix::Text2));
    EXPECT_TRUE(IsTimeOfDay(firstTime)) << firstTime;
    std::vector<std::string> rows = Rows(Control(karvix::List1));
    ASSERT_EQ(rows.size(), 27u);
    for (size_t k = 0; k < 27; ++k)
        EXPECT_EQ(rows[k], k < 18 ? Row(static_cast<int>(2 * k)) : "") << "row " << k;
    EXPECT_EQ(Rows(Control(karvix::List3)).size(), 27u);

    // The logger rewrites record 4 a second later.
    std::string bytes = PoolFile(41, 2, 36);
    bytes.replace(4 * 100, 100, Record(4, "-5.500,-5.438"));
    WriteCapture(bytes, 1000);
    Tick();
    rows = Rows(Control(karvix::List1));
    EXPECT_EQ(rows[2], Row(4, "-5.500,-5.438"));
    EXPECT_EQ(rows[3], Row(6));
    EXPECT_EQ(Text(Control(karvix::Text1)), firstTime);

    // List1 took the window's outer size less 400 x 900 twips.
    RECT outer, list1 = ClientRect(Control(karvix::List1));
    GetWindowRect(window_, &outer);
    karvix::Size size = karvix::List1Size({outer.right - outer.left, outer.bottom - outer.top}, Karvixfrm_Dpi(window_));
    EXPECT_EQ(list1.right - list1.left, size.width);
    EXPECT_EQ(list1.bottom - list1.top, size.height);
}

TEST_F(KarvixWindow, ChangeWithinTheSameSecond)
{
    const struct {
        int laterMs;
        int records;
        bool renamed;  // written aside and renamed into place
        bool refreshed;
    } cases[] = {
        {400, 41, false, true},  // same second, later millisecond
        {0, 42, false, true},    // same time, new size
        {0, 41, false, false},   // rewritten alike: time and size as before
        {0, 41, true, true},     // another file, same time and size
    };
    for (const auto& c : cases) {
        WriteCapture(PoolFile(41, 41, 1));  // record 0 only
        Start(CapturePath());
        Tick();
        ASSERT_EQ(Rows(Control(karvix::List1))[0], Row(0));
        std::string bytes = PoolFile(c.records, 1, 0);
        bytes.replace(0, 100, Record(1));
        if (c.renamed) {
            const std::string aside = dir_ + "\\temp.pd.new";
            WriteBytes(aside, bytes, c.laterMs);
            ASSERT_TRUE(MoveFileExA(aside.c_str(), CapturePath().c_str(), MOVEFILE_REPLACE_EXISTING));
        } else {
            WriteCapture(bytes, c.laterMs);
        }
        Tick();
        EXPECT_EQ(Rows(Control(karvix::List1))[0], c.refreshed ? Row(1) : Row(0)) << c.laterMs << " ms later";
        DestroyWindow(window_);
        DrainMessages();
    }
}

TEST_F(KarvixWindow, SnapshotPuts27CrLfLinesOnTheClipboard)
{
    std::string bytes = PoolFile(41, 1, 17);  // 17 measured, then a sensor of the table with an ANSI byte
    std::string cafe = Record(0);
    cafe.replace(cafe.find(Serial(0)), 16, "28FF00112233FFFF");
    bytes.replace(17 * 100, 100, cafe);
    WriteCapture(bytes);
    Start(CapturePath());
    HWND button = Control(karvix::Command1);

    // Before the first refresh: the empty text.
    SendMessageA(button, BM_CLICK, 0, 0);
    ASSERT_TRUE(OpenClipboard(window_));
    auto text = static_cast<const char*>(GlobalLock(GetClipboardData(CF_TEXT)));
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "");
    GlobalUnlock(GetClipboardData(CF_TEXT));
    CloseClipboard();

    Tick();
    std::string expected;
    for (const std::string& row : Rows(Control(karvix::List1)))
        expected += row + "\r\n";
    EXPECT_NE(expected.find("  -  99 Caf\xe9\r\n"), std::string::npos);
    SendMessageA(button, BM_CLICK, 0, 0);
    SendMessageA(button, BM_CLICK, 0, 0);  // twice: the same text

    ASSERT_TRUE(OpenClipboard(window_));
    HANDLE ansi = GetClipboardData(CF_TEXT);
    HANDLE wide = GetClipboardData(CF_UNICODETEXT);
    ASSERT_NE(ansi, nullptr);
    ASSERT_NE(wide, nullptr);
    std::string got = static_cast<const char*>(GlobalLock(ansi));
    std::wstring gotWide = static_cast<const wchar_t*>(GlobalLock(wide));
    GlobalUnlock(ansi);
    GlobalUnlock(wide);
    CloseClipboard();

    EXPECT_EQ(got, expected);
    size_t lines = 0;
    for (size_t at = got.find("\r\n"); at != std::string::npos; at = got.find("\r\n", at + 2))
        ++lines;
    EXPECT_EQ(lines, 27u);
    EXPECT_EQ(got.substr(got.size() - 4), "\r\n\r\n");
    EXPECT_EQ(got.substr(0, got.find("\r\n")), Row(0));
    std::wstring expectedWide(expected.size() + 1, L'\0');
    expectedWide.resize(static_cast<size_t>(MultiByteToWideChar(CP_ACP, 0, expected.c_str(), -1, &expectedWide[0],
                                                                static_cast<int>(expectedWide.size()))) - 1);
    EXPECT_EQ(gotWide, expectedWide);
}

TEST_F(KarvixWindow, MissingFileOneMessageThenTheEnd)
{
    for (std::string path : {dir_ + "\\absent.pd", dir_}) {  // no such file; a directory
        gBoxes.clear();
        Start(path);
        Tick();
        ASSERT_EQ(gBoxes.size(), 1u) << path;
        EXPECT_EQ(gBoxes[0].text, "File \"" + path + "\" not found. Check the correct name and location");
        EXPECT_EQ(gBoxes[0].caption, "Karvix");
        EXPECT_EQ(gBoxes[0].type, static_cast<UINT>(MB_OK));  // OK only, no icon
        EXPECT_FALSE(gBoxes[0].timerWasRunning) << "the timer stops before the box";
        // The window is gone and the message loop ends.
        EXPECT_FALSE(IsWindow(window_));
        MSG quit;
        EXPECT_TRUE(PeekMessageA(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
        EXPECT_EQ(quit.wParam, 0u);
    }
}

TEST_F(KarvixWindow, RealTimerAndSharedReading)
{
    // The logger holds the capture file open for writing meanwhile.
    WriteCapture(PoolFile(41, 41, 1));
    HANDLE logger = CreateFileA(CapturePath().c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(logger, INVALID_HANDLE_VALUE);
    Start(CapturePath());
    // The window's own 100 ms timer refreshes it; a generous bound for slow machines.
    DWORD start = GetTickCount();
    MSG message;
    while (Text(Control(karvix::Expect)) == "21" && GetTickCount() - start < 20000) {
        if (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageA(&message);
        else
            Sleep(10);
    }
    EXPECT_EQ(Text(Control(karvix::Expect)), "1");
    EXPECT_EQ(Rows(Control(karvix::List1))[0], Row(0));
    CloseHandle(logger);
}

TEST_F(KarvixWindow, TimeFieldsShowEveryDigit)
{
    WriteCapture(PoolFile(41, 41, 1));
    Start(CapturePath());
    Tick();
    const std::string now = Text(Control(karvix::Text2));  // the real refresh time
    ASSERT_TRUE(IsTimeOfDay(now)) << now;
    for (karvix::ControlId id : {karvix::Text1, karvix::Text2}) {
        HWND box = Control(id);
        for (const std::string& time : {now, std::string("00:00:00"), std::string("88:88:88"),
                                        std::string("23:59:59"), std::string("11:11:11")}) {
            SetWindowTextA(box, time.c_str());
            // With the caret at the start (as a refresh leaves it) and at the end (End pressed),
            // neither the first nor the last digit is scrolled or cut off.
            for (int caret : {0, 8}) {
                SendMessageA(box, EM_SETSEL, caret, caret);
                SendMessageA(box, EM_SCROLLCARET, 0, 0);
                RECT shown;
                SendMessageA(box, EM_GETRECT, 0, reinterpret_cast<LPARAM>(&shown));
                int first = static_cast<short>(LOWORD(SendMessageA(box, EM_POSFROMCHAR, 0, 0)));
                EXPECT_GE(first, shown.left) << karvix::kControls[id].name << " " << time << " caret " << caret;
                EXPECT_LE(first + TextWidth(box, time), shown.right)
                    << karvix::kControls[id].name << " " << time << " caret " << caret;
            }
        }
    }
}

TEST_F(KarvixWindow, ToolTipsNameTheZones)
{
    const std::string table = dir_ + "\\Direct Access table.txt";
    const std::string timeNote = karvix::RefreshTimeNote(ZoneOffsetSeconds());
    const std::string rowNote = "\nRow times: the record's stamp in UTC+01:00";
    const struct {
        bool withTable;
        karvix::ControlId id;
        std::string tip;
    } cases[] = {
        {true, karvix::Text1, timeNote},
        {true, karvix::Text2, timeNote},
        {true, karvix::List1, "Places from " + table + rowNote},
        {false, karvix::List1, "No place table (every place reads \"Unknown element\"); looked for " + table + rowNote},
        {true, karvix::Expect, ""},
    };
    for (const auto& c : cases) {
        if (!c.withTable)
            DeleteFileA(table.c_str());
        Start(CapturePath());
        EXPECT_EQ(Karvixfrm_ToolTip(window_, c.id), c.tip) << karvix::kControls[c.id].name;
        DestroyWindow(window_);
        DrainMessages();
    }
    // CTest runs these tests at UTC+05:30 (TZ=Asia/Kolkata, no summer time): sign and minutes show.
    const char* tz = getenv("TZ");
    if (tz && std::string(tz) == "Asia/Kolkata") {
        EXPECT_EQ(timeNote, "Time of the refresh, local time (UTC+05:30); row times are UTC+01:00");
    }
}

TEST_F(KarvixWindow, UnreadableFileIsShownAsAnError)
{
    WriteCapture(PoolFile(41, 41, 1));
    Start(CapturePath());
    Tick();
    ASSERT_EQ(Rows(Control(karvix::List1))[0], Row(0));
    EXPECT_EQ(Karvixfrm_ErrorText(window_), "");

    // Another program holds the rewritten file without sharing it.
    std::string bytes = PoolFile(41, 41, 1);
    bytes.replace(0, 100, Record(1));
    WriteCapture(bytes, 1000);
    HANDLE holder = CreateFileA(CapturePath().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    const std::string prefix = "Can't read \"" + CapturePath() + "\": ";
    const std::string suffix = " (Windows error 32). Karvix tries again at every tick.";  // sharing violation
    for (int tick = 0; tick < 2; ++tick) {  // every tick tries again
        Tick();
        std::string note = Karvixfrm_ErrorText(window_);
        EXPECT_EQ(note.rfind(prefix, 0), 0u) << note;
        ASSERT_GT(note.size(), prefix.size() + suffix.size()) << note;
        EXPECT_EQ(note.substr(note.size() - suffix.size()), suffix) << note;
        // The rows stay as they were.
        EXPECT_EQ(Rows(Control(karvix::List1))[0], Row(0));
        EXPECT_EQ(Text(Control(karvix::Expect)), "1");
    }
    EXPECT_TRUE(gBoxes.empty()) << "an unreadable file is no missing file";

    // The note lies over List1 and is the control seen there.
    HWND noteControl = GetDlgItem(window_, kKarvixErrorTextId);
    RECT note = ClientRect(noteControl), list = ClientRect(Control(karvix::List1)), inside;
    EXPECT_GT(note.bottom - note.top, 0);
    EXPECT_TRUE(IntersectRect(&inside, &note, &list) && EqualRect(&inside, &note));
    POINT centre = {(note.left + note.right) / 2, (note.top + note.bottom) / 2};
    EXPECT_EQ(ChildWindowFromPointEx(window_, centre, CWP_SKIPINVISIBLE), noteControl);

    // Readable again: the next tick refreshes and the note goes.
    CloseHandle(holder);
    Tick();
    EXPECT_EQ(Karvixfrm_ErrorText(window_), "");
    EXPECT_FALSE(IsWindowVisible(noteControl));
    EXPECT_EQ(Rows(Control(karvix::List1))[0], Row(1));
}

TEST_F(KarvixWindow, FilesOfNoWholeNumberOfRecordsAreShownAsTheQtWindowShowsThem)
{
    std::string bareLf = PoolFile(5, 1, 5);
    for (size_t at = bareLf.find("\r\n"); at != std::string::npos; at = bareLf.find("\r\n", at))
        bareLf.erase(at, 1);
    const struct {
        const char* name;
        std::string bytes;
        int rows;
    } cases[] = {
        {"bare LF line ends", bareLf, 5},
        {"last record without line end", PoolFile(3, 1, 3).substr(0, 298), 3},
    };
    for (const auto& c : cases) {
        WriteCapture(c.bytes);
        Start(CapturePath());
        Tick();
        EXPECT_EQ(Karvixfrm_ErrorText(window_), "") << c.name;
        EXPECT_EQ(Text(Control(karvix::Expect)), std::to_string(c.rows)) << c.name;
        std::vector<std::string> rows = Rows(Control(karvix::List1));
        for (int k = 0; k < c.rows; ++k)
            EXPECT_EQ(rows[static_cast<size_t>(k)], Row(k)) << c.name << " row " << k;
        DestroyWindow(window_);
        DrainMessages();
    }
}

// Pipes that stand in for the standard output and the parent's console.
struct Pipe {
    HANDLE read = nullptr;
    HANDLE write = nullptr;
    Pipe() { CreatePipe(&read, &write, nullptr, 1 << 16); }
    ~Pipe()
    {
        for (HANDLE h : {read, write})
            if (h)
                CloseHandle(h);
    }
    std::string Drain()
    {
        if (write)
            CloseHandle(write);
        write = nullptr;
        std::string bytes;
        char buffer[4096];
        DWORD got = 0;
        while (ReadFile(read, buffer, sizeof buffer, &got, nullptr) && got > 0)
            bytes.append(buffer, got);
        return bytes;
    }
};

HANDLE gParentConsole = INVALID_HANDLE_VALUE;
int gConsoleAsked = 0;

HANDLE FakeParentConsole()
{
    ++gConsoleAsked;
    HANDLE console = gParentConsole;
    gParentConsole = INVALID_HANDLE_VALUE;
    return console;
}

std::string WithCrLf(const std::string& text)
{
    std::string lines;
    for (char c : text)
        lines += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return lines;
}

TEST(KarvixOptions, HelpAndVersionGoWhereTheUserSeesThem)
{
    enum class Out { Pipe, None, Broken };  // Broken: a pipe whose reader is gone
    const std::string usage = karvix::UsageText(false), version = karvix::VersionText();
    const struct {
        const char* commandText;
        Out out;
        bool console;  // started from a console
        int status;
        KarvixTextTarget target;
        std::string text;  // empty: nothing shown
    } cases[] = {
        {"--help", Out::Pipe, true, 0, KarvixTextTarget::StdOutput, usage},
        {"--version", Out::Pipe, false, 0, KarvixTextTarget::StdOutput, version},
        {"--help", Out::None, true, 0, KarvixTextTarget::ParentConsole, usage},
        {"--version", Out::None, true, 0, KarvixTextTarget::ParentConsole, version},
        {"--help", Out::Broken, true, 0, KarvixTextTarget::ParentConsole, usage},
        {"--help", Out::None, false, 0, KarvixTextTarget::MessageBox, usage},  // started from Explorer
        {"--version", Out::Broken, false, 0, KarvixTextTarget::MessageBox, version},
        {"--help more", Out::Pipe, true, -1, KarvixTextTarget::StdOutput, ""},  // the path "--help"
        {"C:\\data\\temp.pd", Out::Pipe, true, -1, KarvixTextTarget::StdOutput, ""},
        {"", Out::None, true, -1, KarvixTextTarget::StdOutput, ""},
    };
    EXPECT_EQ(usage.find("history chart"), std::string::npos) << "this Karvix has no history chart";
    const HANDLE savedOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    KarvixParentConsole = FakeParentConsole;
    KarvixMessageBox = AnswerBox;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.commandText);
        Pipe output, console;
        if (c.out == Out::Broken) {
            CloseHandle(output.read);
            output.read = nullptr;
        }
        SetStdHandle(STD_OUTPUT_HANDLE, c.out == Out::None ? nullptr : output.write);
        // Karvix closes the console it was given.
        gParentConsole = c.console ? console.write : INVALID_HANDLE_VALUE;
        if (c.console)
            console.write = nullptr;
        gConsoleAsked = 0;
        gBoxes.clear();

        EXPECT_EQ(Karvix_AnswerOption(c.commandText), c.status);
        SetStdHandle(STD_OUTPUT_HANDLE, savedOutput);

        const bool shown = !c.text.empty();
        const bool toOutput = shown && c.target == KarvixTextTarget::StdOutput;
        const bool toConsole = shown && c.target == KarvixTextTarget::ParentConsole;
        const bool toBox = shown && c.target == KarvixTextTarget::MessageBox;
        if (gParentConsole != INVALID_HANDLE_VALUE)  // not asked for
            CloseHandle(gParentConsole);
        gParentConsole = INVALID_HANDLE_VALUE;
        if (c.out == Out::Pipe) {
            EXPECT_EQ(output.Drain(), toOutput ? WithCrLf(c.text) : "");
        }
        if (c.console) {
            EXPECT_EQ(console.Drain(), toConsole ? WithCrLf(c.text) : "");
        }
        EXPECT_EQ(gConsoleAsked, toConsole || toBox ? 1 : 0) << "the console is looked for only when needed";
        ASSERT_EQ(gBoxes.size(), toBox ? 1u : 0u);
        if (toBox) {
            EXPECT_EQ(gBoxes[0].text, c.text);
            EXPECT_EQ(gBoxes[0].caption, "Karvix");
            EXPECT_EQ(gBoxes[0].type, static_cast<UINT>(MB_OK | MB_ICONINFORMATION));
        }
    }
}

}  // namespace
