// Karvix's window rules shared by the Qt and the Win32 window: command line,
// start-up, the tick's decision, the rows of a refresh, List1's size, the
// design geometry and the clipboard text. Runs in the Linux build and under wine.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "karvix_view.h"

namespace {

using karvix::KarvixView;
using karvix::TickAction;

const char kTable[] = "28FF001122330000 0 Room0\r\n28FF001122330001 1 Room1\r\n";

std::string Record(int i)
{
    std::string line = std::to_string(1700000000 + i) + ".123,28FF00112233000" + std::to_string(i) +
                       ",BE2A00FFFF0C10100C55,21.000,21.063 ";
    return line + std::string(98 - line.size(), ' ') + "\r\n";
}

std::string Blank()
{
    return ",,,," + std::string(94, ' ') + "\r\n";
}

std::string Records(int first, int count)
{
    std::string bytes;
    for (int i = first; i < first + count; ++i)
        bytes += i % 10 == 9 ? Blank() : Record(i % 10);
    return bytes;
}

TEST(KarvixView, ArgumentTextFollowsTheProgramName)
{
    const struct {
        const char* commandLine;
        const char* argument;
    } cases[] = {
        {"Karvix.exe", ""},
        {"Karvix.exe C:\\data\\temp.pd", "C:\\data\\temp.pd"},
        {"Karvix.exe   C:\\a.pd more words", "C:\\a.pd more words"},
        {"Karvix.exe\tC:\\a.pd", "C:\\a.pd"},
        {"\"C:\\Program Files\\Karvix\\Karvix.exe\" D:\\temp.pd", "D:\\temp.pd"},
        {"\"C:\\Program Files\\Karvix\\Karvix.exe\"", ""},
        {"\"C:\\unterminated quote D:\\temp.pd", ""},
        {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(karvix::ArgumentText(c.commandLine), c.argument) << c.commandLine;
}

TEST(KarvixView, StartTakesThePathBeforeTheFirstBlank)
{
    const struct {
        const char* commandText;
        const char* dbFile;
    } cases[] = {
        {"", "E:\\temp.pd"},
        {"C:\\data\\temp.pd", "C:\\data\\temp.pd"},
        {"C:\\data\\temp.pd more words", "C:\\data\\temp.pd"},
        {"\"C:\\My Data\\temp.pd\"", "\"C:\\My"},  // quotes are not special
    };
    for (const auto& c : cases) {
        KarvixView view;
        view.Start(c.commandText, kTable);
        EXPECT_EQ(view.DbFile(), c.dbFile);
        EXPECT_EQ(view.Caption(), std::string("Karvix of ") + c.dbFile);
        EXPECT_EQ(view.NotFoundText(),
                  std::string("File \"") + c.dbFile + "\" not found. Check the correct name and location");
    }
}

TEST(KarvixView, HelpAndVersionOnlyAsTheOneArgument)
{
    using karvix::StartOption;
    const struct {
        const char* argumentText;
        StartOption option;
    } cases[] = {
        {"--help", StartOption::Help},
        {"--version", StartOption::Version},
        {"--help \t ", StartOption::Help},  // a Windows command line may keep trailing blanks
        {"--help more", StartOption::None},  // the path "--help", as any other first word
        {"--HELP", StartOption::None},
        {"-h", StartOption::None},
        {"--versions", StartOption::None},
        {"\"--version\"", StartOption::None},
        {"", StartOption::None},
        {"C:\\data\\temp.pd", StartOption::None},
    };
    for (const auto& c : cases)
        EXPECT_EQ(karvix::StartOptionOf(c.argumentText), c.option) << c.argumentText;
}

TEST(KarvixView, UsageAndVersionTexts)
{
    EXPECT_EQ(karvix::VersionText(), "Karvix " TEMP_VERSION "\n");
    const std::string chartLine = "Double-click a row for its history chart (temp-history.db beside PATH).\n";
    for (bool chart : {false, true}) {
        std::string usage = karvix::UsageText(chart);
        EXPECT_EQ(usage.rfind("Usage: Karvix [PATH [ignored words...]]\n", 0), 0u);
        EXPECT_EQ(usage.find(chartLine) != std::string::npos, chart);
        EXPECT_NE(usage.find("E:\\temp.pd without one"), std::string::npos);
        const std::string last = "  --version  print the version and exit\n";
        EXPECT_EQ(usage.substr(usage.size() - last.size()), last);
        // Lines fit an 80-column console; LF ends every one.
        size_t start = 0;
        for (size_t end = usage.find('\n'); end != std::string::npos; end = usage.find('\n', start)) {
            EXPECT_LE(end - start, 80u) << usage.substr(start, end - start);
            start = end + 1;
        }
        EXPECT_EQ(start, usage.size());
        EXPECT_EQ(usage.find('\r'), std::string::npos);
    }
}

TEST(KarvixView, ProgramDirectory)
{
    EXPECT_EQ(karvix::ProgramDirectory("C:\\loggers\\Karvix.exe"), "C:\\loggers");
    EXPECT_EQ(karvix::ProgramDirectory("Z:\\a/b\\Karvix.exe"), "Z:\\a/b");
    EXPECT_EQ(karvix::ProgramDirectory("/usr/bin/Karvix"), "/usr/bin");
    EXPECT_EQ(karvix::ProgramDirectory("Karvix"), ".");
}

TEST(KarvixView, TickRefreshesOnTimeSizeOrIdentityChange)
{
    // Each step: the file's stamp at this tick, and whether the tick refreshes.
    const struct {
        long long modifiedMs;
        long long size;
        unsigned long long inode, device;
        TickAction action;
    } steps[] = {
        {1000, 4100, 7, 1, TickAction::Refresh},    // the first tick always refreshes
        {1000, 4100, 7, 1, TickAction::Unchanged},  // nothing changed
        {1400, 4100, 7, 1, TickAction::Refresh},    // same second, later millisecond
        {1400, 4200, 7, 1, TickAction::Refresh},    // same time, new size
        {1400, 4200, 7, 1, TickAction::Unchanged},  // rewritten alike
        {900, 4200, 7, 1, TickAction::Refresh},     // time set back
        {900, 4200, 8, 1, TickAction::Refresh},     // renamed into place: another file
        {900, 4200, 8, 2, TickAction::Refresh},     // same number on another device
        {900, 4200, 8, 2, TickAction::Unchanged},
    };
    KarvixView view;
    view.Start("temp.pd", kTable);
    int step = 0;
    for (const auto& s : steps) {
        karvix::FileStamp stamp{s.modifiedMs, s.size, s.inode, s.device};
        EXPECT_EQ(view.Tick(&stamp), s.action) << "step " << step++;
        if (s.action == TickAction::Refresh)
            view.Refresh({});
    }
}

TEST(KarvixView, TableDirectoriesProgramFirstThenBesideTheFile)
{
    using Dirs = std::vector<std::string>;
    const struct {
        const char* program;
        const char* dbFile;
        Dirs dirs;
    } cases[] = {
        {"/usr/bin", "/var/lib/temp/1/temp.pd", {"/usr/bin", "/var/lib/temp/1"}},
        {"C:\\Karvix", "D:\\logs\\temp.pd", {"C:\\Karvix", "D:\\logs"}},
        {"/opt/logger", "/opt/logger/temp.pd", {"/opt/logger"}},  // the same folder once
        {"/usr/bin", "temp.pd", {"/usr/bin", "."}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(karvix::TableDirectories(c.program, c.dbFile), c.dirs) << c.dbFile;
}

TEST(KarvixView, NotesOnTableAndZones)
{
    EXPECT_EQ(karvix::TableNote("/d/Direct Access table.txt", {}), "Places from /d/Direct Access table.txt");
    EXPECT_EQ(karvix::TableNote("", {"/a/t.txt", "/b/t.txt"}),
              "No place table (every place reads \"Unknown element\"); looked for /a/t.txt and /b/t.txt");
    const struct {
        int offset;
        const char* text;
    } zones[] = {{0, "UTC"}, {3600, "UTC+01:00"}, {-3 * 3600 - 1800, "UTC-03:30"}, {5 * 3600 + 2700, "UTC+05:45"}};
    for (const auto& z : zones)
        EXPECT_EQ(karvix::ZoneText(z.offset), z.text) << z.offset;
    EXPECT_EQ(karvix::List1Note("/d/t.txt", {}), "Places from /d/t.txt\nRow times: the record's stamp in UTC+01:00");
    EXPECT_EQ(karvix::List1Note("", {"/a/t.txt"}), "No place table (every place reads \"Unknown element\"); looked for "
                                                   "/a/t.txt\nRow times: the record's stamp in UTC+01:00");
    EXPECT_EQ(karvix::RefreshTimeNote(7200), "Time of the refresh, local time (UTC+02:00); row times are UTC+01:00");
}

TEST(KarvixView, UnreadFileIsRefreshedAtTheNextTick)
{
    KarvixView view;
    view.Start("temp.pd", kTable);
    karvix::FileStamp stamp{5, 10};
    EXPECT_EQ(view.Tick(&stamp), TickAction::Refresh);
    // The front end could not read the file and skipped Refresh().
    EXPECT_EQ(view.Tick(&stamp), TickAction::Refresh);
    view.Refresh(Records(0, 1));
    EXPECT_EQ(view.Tick(&stamp), TickAction::Unchanged);
}

TEST(KarvixView, MissingFileGivesOneMessage)
{
    KarvixView view;
    view.Start("absent.pd", kTable);
    EXPECT_EQ(view.Tick(nullptr), TickAction::NotFound);
    // Ticks while the message is on screen, even with the file back, do nothing.
    karvix::FileStamp stamp{5, 10};
    EXPECT_EQ(view.Tick(&stamp), TickAction::Ended);
    EXPECT_EQ(view.Tick(nullptr), TickAction::Ended);
}

TEST(KarvixView, RefreshRows)
{
    KarvixView view;
    view.Start("temp.pd", kTable);
    EXPECT_EQ(view.Refresh(Blank() + Record(0) + Blank() + Record(1) + Record(5)), 27u);
    EXPECT_EQ(view.Count(), 3);
    ASSERT_EQ(view.List1Rows().size(), 27u);
    ASSERT_EQ(view.List3Rows().size(), 27u);
    EXPECT_EQ(view.List1Rows()[0], "23:13:20,28FF001122330000,BE2A00FFFF0C10100C55,21.000,21.063  -  0 Room0");
    EXPECT_EQ(view.List3Rows()[0],
              "1700000000.123,28FF001122330000,BE2A00FFFF0C10100C55,21.000,21.063  -  0 Room0");
    EXPECT_EQ(view.List1Rows()[1], "23:13:21,28FF001122330001,BE2A00FFFF0C10100C55,21.000,21.063  -  1 Room1");
    EXPECT_EQ(view.List1Rows()[2],
              "23:13:25,28FF001122330005,BE2A00FFFF0C10100C55,21.000,21.063  - Unknown element");
    for (size_t k = 3; k < 27; ++k)
        EXPECT_EQ(view.List1Rows()[k], "") << k;

    // A file of blank records only: 27 empty rows.
    EXPECT_EQ(view.Refresh(Blank() + Blank()), 27u);
    EXPECT_EQ(view.Count(), 0);
    EXPECT_EQ(view.List1Rows(), std::vector<std::string>(27));
}

TEST(KarvixView, RowsFrom27KeepOlderText)
{
    KarvixView view;
    view.Start("temp.pd", kTable);
    EXPECT_EQ(view.Refresh(Records(0, 33)), 30u);  // 30 measured, 3 blank
    const std::vector<std::string> before = view.List1Rows();
    EXPECT_EQ(view.Refresh(Records(0, 5)), 27u);
    EXPECT_EQ(view.Count(), 5);
    ASSERT_EQ(view.List1Rows().size(), 30u);
    for (size_t k = 0; k < 30; ++k)
        EXPECT_EQ(view.List1Rows()[k], k < 5 || k >= 27 ? before[k] : "") << k;
    EXPECT_EQ(view.List3Rows()[27].substr(0, 14), "1700000000.123");
}

TEST(KarvixView, SnapshotText)
{
    KarvixView view;
    view.Start("temp.pd", kTable);
    EXPECT_EQ(karvix::SnapshotText(view.List1Rows()), "");  // before the first refresh
    view.Refresh(Records(0, 20));                           // 18 measured
    std::string text = karvix::SnapshotText(view.List1Rows());
    std::string expected;
    for (size_t k = 0; k < 18; ++k)
        expected += view.List1Rows()[k] + "\r\n";
    for (size_t k = 18; k < 27; ++k)
        expected += "\r\n";  // the blanked rows
    EXPECT_EQ(text, expected);
    EXPECT_EQ(text.substr(text.size() - 4), "\r\n\r\n");
}

TEST(KarvixView, DesignGeometryAt96And144Dpi)
{
    // Pixels (left, top, width, height) at 96 dpi: 15 twips to the pixel.
    const int at96[karvix::kControlCount][4] = {
        {8, 0, 57, 17},   {48, 0, 49, 19},   {104, 0, 49, 17},  {152, 0, 49, 19},  {224, 0, 81, 25},
        {312, 0, 33, 19}, {368, 0, 121, 23}, {6, 28, 641, 433}, {626, 419, 13, 17},
    };
    for (const karvix::ControlDesign& c : karvix::kControls) {
        const int* px = at96[c.id];
        EXPECT_EQ(karvix::TwipsToPixels(c.left, 96), px[0]) << c.name;
        EXPECT_EQ(karvix::TwipsToPixels(c.top, 96), px[1]) << c.name;
        EXPECT_EQ(karvix::TwipsToPixels(c.width, 96), px[2]) << c.name;
        EXPECT_EQ(karvix::TwipsToPixels(c.height, 96), px[3]) << c.name;
    }
    EXPECT_EQ(karvix::TwipsToPixels(karvix::kClientWidthTwips, 96), 654);
    EXPECT_EQ(karvix::TwipsToPixels(karvix::kClientHeightTwips, 96), 473);
    EXPECT_EQ(karvix::TwipsToPixels(karvix::kClientWidthTwips, 144), 981);
    EXPECT_EQ(karvix::TwipsToPixels(350, 144), 35);
}

TEST(KarvixView, TopLineMakesRoomForTheFontInUse)
{
    using Line = std::array<int, karvix::kTopLineCount>;  // Label1 Text1 Label2 Text2 Label17 Expect Command1
    const struct {
        const char* font;
        Line needed;
        Line lefts;
        Line widths;
    } cases[] = {
        // The design at 96 dpi; labels end where their box starts.
        {"unmeasured", {}, {8, 48, 104, 152, 224, 312, 368}, {40, 49, 48, 49, 81, 33, 121}},
        {"narrow", {36, 0, 42, 0, 70, 0, 0}, {8, 48, 104, 152, 224, 312, 368}, {40, 49, 48, 49, 81, 33, 121}},
        // Today's dialog font: "Current" reaches past Text1's design left, the time boxes need 58.
        {"wide", {43, 58, 49, 58, 75, 0, 0}, {8, 53, 113, 164, 224, 312, 368}, {45, 58, 49, 58, 81, 33, 121}},
        // A label wider than its design pushes only as far as it reaches.
        {"long label", {0, 0, 0, 0, 100, 0, 0}, {8, 48, 104, 152, 224, 326, 368}, {40, 49, 48, 49, 100, 33, 121}},
        {"wide button", {0, 0, 0, 0, 0, 0, 130}, {8, 48, 104, 152, 224, 312, 368}, {40, 49, 48, 49, 81, 33, 130}},
    };
    for (const auto& c : cases) {
        std::array<karvix::Span, karvix::kTopLineCount> line = karvix::TopLine(c.needed, 96);
        for (size_t i = 0; i < line.size(); ++i) {
            EXPECT_EQ(line[i].left, c.lefts[i]) << c.font << " " << karvix::kControls[i].name;
            EXPECT_EQ(line[i].width, c.widths[i]) << c.font << " " << karvix::kControls[i].name;
        }
    }
    // At any DPI nothing lies over the next control, and every text gets its room.
    for (double dpi : {96.0, 120.0, 144.0, 192.0})
        for (const auto& c : cases) {
            Line needed = c.needed;
            for (int& n : needed)
                n = static_cast<int>(n * dpi / 96);
            std::array<karvix::Span, karvix::kTopLineCount> line = karvix::TopLine(needed, dpi);
            for (size_t i = 0; i < line.size(); ++i) {
                EXPECT_GE(line[i].left, karvix::TwipsToPixels(karvix::kControls[i].left, dpi));
                EXPECT_GE(line[i].width, needed[i]) << dpi << " " << c.font << " " << karvix::kControls[i].name;
                if (i + 1 < line.size()) {
                    EXPECT_LE(line[i].left + line[i].width, line[i + 1].left)
                        << dpi << " " << c.font << " " << karvix::kControls[i].name;
                }
            }
        }
}

TEST(KarvixView, List1SizeNeverNegative)
{
    EXPECT_EQ(karvix::List1Size({800, 600}, 96).width, 800 - 27);
    EXPECT_EQ(karvix::List1Size({800, 600}, 96).height, 600 - 60);
    EXPECT_EQ(karvix::List1Size({800, 600}, 144).height, 600 - 90);
    EXPECT_EQ(karvix::List1Size({10, 10}, 96).width, 0);
    EXPECT_EQ(karvix::List1Size({10, 10}, 96).height, 0);
}

TEST(KarvixView, TabOrderSkipsLabels)
{
    std::vector<std::string> focus;
    for (karvix::ControlId id : karvix::ControlsInTabOrder())
        if (karvix::TakesFocus(id))
            focus.push_back(karvix::kControls[id].name);
    EXPECT_EQ(focus, (std::vector<std::string>{"List1", "Text1", "Text2", "Expect", "List3", "Command1"}));
}

}  // namespace
