// Karvix's window rules, free of any toolkit: the form's design (controls,
// texts, twips, tab order), start-up (command line, caption, table path), the
// tick's decision (change detection, the single not-found message), the rows a
// refresh writes, List1's size and the clipboard text. The Qt window and the
// Win32 window both hold a KarvixView and only move its results into their
// controls.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "karvix_records.h"

namespace karvix {

// The form's design.
constexpr char kDesignCaption[] = "Karvix";
constexpr char kCaptionPrefix[] = "Karvix of ";
constexpr char kDefaultDbFile[] = "E:\\temp.pd";
constexpr char kTableFileName[] = "Direct Access table.txt";
constexpr int kTickMs = 100;
constexpr int kTwipsPerInch = 1440;
constexpr int kClientWidthTwips = 9810;
constexpr int kClientHeightTwips = 7095;
// At each refresh List1 takes the window's outer size less these margins.
constexpr int kList1WidthMarginTwips = 400;
constexpr int kList1HeightMarginTwips = 900;
// Rows 0..26 of both lists are blanked by every refresh.
constexpr int kBlankedRows = 27;
// The controls are sized for an 8-point dialog font.
constexpr int kDesignFontPoints = 8;

enum ControlId { Label1, Text1, Label2, Text2, Label17, Expect, Command1, List1, List3, kControlCount };
enum class ControlKind { Label, TextBox, Button, List };

struct ControlDesign {
    ControlId id;
    const char* name;
    ControlKind kind;
    const char* text;  // design-time text
    int left, top, width, height;  // twips, relative to the client area
    int tabIndex;
};

constexpr std::array<ControlDesign, kControlCount> kControls = {{
    {Label1, "Label1", ControlKind::Label, "Current", 120, 0, 855, 255, 3},
    {Text1, "Text1", ControlKind::TextBox, "", 720, 0, 735, 285, 1},
    {Label2, "Label2", ControlKind::Label, "Previous", 1560, 0, 735, 255, 4},
    {Text2, "Text2", ControlKind::TextBox, "", 2280, 0, 735, 285, 2},
    {Label17, "Label17", ControlKind::Label, "Records Found", 3360, 0, 1215, 375, 6},
    {Expect, "Expect", ControlKind::TextBox, "21", 4680, 0, 495, 285, 5},
    {Command1, "Command1", ControlKind::Button, "Snapshot to Clipboard", 5520, 0, 1815, 350, 8},
    {List1, "List1", ControlKind::List, "", 90, 420, 9615, 6495, 0},
    {List3, "List3", ControlKind::List, "", 9390, 6285, 195, 255, 7},
}};
static_assert(kControls[List3].id == List3, "kControls is indexed by ControlId");

// All controls by ascending tab index.
std::array<ControlId, kControlCount> ControlsInTabOrder();
// True for the controls that take the keyboard focus (labels don't).
bool TakesFocus(ControlId id);

// Twips to pixels at `dpi` dots per inch, rounded to the nearest pixel.
int TwipsToPixels(int twips, double dpi);

struct Size {
    int width;
    int height;
};

// The top line, Label1 to Command1 (ids 0 to 6), laid out for the font in
// use. `needed` is the width in pixels each control's text needs (a label:
// its text; a time box: its widest time of day with frame and margins; 0:
// the design's width will do). A control keeps its design left unless the
// one before it reaches further (a label by its text, others by their
// width), then it starts a small gap after it; it keeps its design width
// unless its text needs more; a label ends where the next control starts.
// So no control covers another's text.
constexpr int kTopLineCount = Command1 + 1;
struct Span {
    int left;
    int width;
};
std::array<Span, kTopLineCount> TopLine(const std::array<int, kTopLineCount>& needed, double dpi);
// The size List1 gets at a refresh: the window's outer size (pixels) less the
// margins, never below zero.
Size List1Size(Size outer, double dpi);

// The two options of the command line, answered before any window: its one
// argument exactly "--help" or "--version" (trailing blanks allowed); any
// other text is the path to watch.
enum class StartOption { None, Help, Version };
StartOption StartOptionOf(std::string_view argumentText);
// What --help prints. The line on the history chart only where Karvix has it.
std::string UsageText(bool withHistoryChart);
// What --version prints: "Karvix " and the version, one line.
std::string VersionText();

// The text after the program's name on a Windows command line: a quoted name
// ends at its closing quote, an unquoted one at the first blank or tab; the
// blanks that follow are dropped.
std::string ArgumentText(std::string_view commandLine);
// The directory of a program's file path, without the trailing separator.
std::string ProgramDirectory(std::string_view programPath);

// The folders searched for "Direct Access table.txt", in order: the program's
// own (the documented place), then the watched file's (an installed program
// lies apart from its data; the service's state folder holds both temp.pd and
// the table). One entry when both are the same folder.
std::vector<std::string> TableDirectories(std::string_view programDirectory, std::string_view dbFile);
// What the window says about the table: the path it reads, or where it
// looked when there is none.
std::string TableNote(const std::string& usedPath, const std::vector<std::string>& searchedPaths);

// List1's note: TableNote() and the zone of the row times.
std::string List1Note(const std::string& usedPath, const std::vector<std::string>& searchedPaths);

// The row times: the record's stamp as UTC plus one hour, on every machine.
constexpr char kRowZone[] = "UTC+01:00";
// "UTC+01:00", "UTC-03:30", "UTC" for an offset from UTC in seconds.
std::string ZoneText(int offsetSeconds);
// The note on a refresh time field: local time and its zone.
std::string RefreshTimeNote(int offsetSeconds);

// What the window shows while the watched file exists but can't be read.
std::string UnreadableText(const std::string& path, const std::string& reason);

// What one status check of the file tells: its modification time at full
// resolution (any fixed unit: nanoseconds on Linux, milliseconds on
// Windows), its size and its identity: device and file number (inode; on
// Windows volume serial and file index), so that a file renamed into place
// counts as changed even with the old time and size. Equal stamps: an
// unchanged file.
struct FileStamp {
    long long modified = -1;
    long long size = -1;
    unsigned long long identity = 0;
    unsigned long long device = 0;
    bool operator==(const FileStamp& other) const
    {
        return modified == other.modified && size == other.size && identity == other.identity &&
               device == other.device;
    }
    bool operator!=(const FileStamp& other) const { return !(*this == other); }
};

enum class TickAction {
    NotFound,   // stop the timer, beep, show NotFoundText() once, then end
    Unchanged,  // nothing visible happens
    Refresh,    // read the file and call Refresh()
    Ended,      // the not-found message was already given
};

class KarvixView {
public:
    // Form_Load's rules: the default path, the place table, then the command
    // line text (cut at its first blank; quotes are not special).
    void Start(std::string_view commandText, std::string_view tableBytes);
    // Replaces the place table (read after Start, once DbFile is known).
    void SetTable(std::string_view tableBytes);

    const std::string& DbFile() const { return DbFile_; }
    std::string Caption() const { return kCaptionPrefix + DbFile_; }
    std::string NotFoundText() const;

    // One tick with the file's stamp, or nullptr when the file is missing or
    // is no plain file. Time, size and identity are compared, so a write in
    // the same second as the last refresh, or a file renamed into place, is
    // still a change.
    TickAction Tick(const FileStamp* stamp);
    // Applies the file read after TickAction::Refresh. When the file could
    // not be read, skip this: the next tick tries again. Returns how many rows
    // from 0 up of each list were written (the rows past that keep their
    // text); List1Rows()/List3Rows() hold every row.
    size_t Refresh(std::string_view fileBytes);

    const std::vector<std::string>& List1Rows() const { return List1_; }
    const std::vector<std::string>& List3Rows() const { return List3_; }
    int Count() const { return Count_; }
    const TableLines& Table() const { return TableLines_; }

private:
    std::string DbFile_;
    FileStamp OldDate_;
    FileStamp NewDate_;
    TableLines TableLines_ = TableFromBytes({});
    std::vector<std::string> List1_;
    std::vector<std::string> List3_;
    int Count_ = 0;
    bool Ended_ = false;
};

// The clipboard snapshot: every row followed by CR LF.
std::string SnapshotText(const std::vector<std::string>& rows);

}  // namespace karvix
