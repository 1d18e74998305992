#include "karvix_view.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace karvix {

std::array<ControlId, kControlCount> ControlsInTabOrder()
{
    std::array<ControlId, kControlCount> order{};
    for (const ControlDesign& c : kControls)
        order[static_cast<size_t>(c.tabIndex)] = c.id;
    return order;
}

bool TakesFocus(ControlId id)
{
    return kControls[id].kind != ControlKind::Label;
}

int TwipsToPixels(int twips, double dpi)
{
    return static_cast<int>(std::lround(twips * dpi / kTwipsPerInch));
}

Size List1Size(Size outer, double dpi)
{
    return {std::max(0, outer.width - TwipsToPixels(kList1WidthMarginTwips, dpi)),
            std::max(0, outer.height - TwipsToPixels(kList1HeightMarginTwips, dpi))};
}

StartOption StartOptionOf(std::string_view argumentText)
{
    size_t end = argumentText.find_last_not_of(" \t");
    std::string_view option = argumentText.substr(0, end == std::string_view::npos ? 0 : end + 1);
    if (option == "--help")
        return StartOption::Help;
    if (option == "--version")
        return StartOption::Version;
    return StartOption::None;
}

std::string UsageText(bool withHistoryChart)
{
    std::string text =
        "Usage: Karvix [PATH [ignored words...]]\n"
        "Watches the logger's data file PATH (E:\\temp.pd without one) and shows its\n"
        "measured records, one row each. The path ends at its first blank.\n"
        "\n"
        "Places come from \"Direct Access table.txt\" beside the Karvix program, or else\n"
        "beside PATH; the window's list says which (hover over it). Row times are the\n"
        "records' stamps in UTC+01:00; the two refresh times are local time.\n";
    if (withHistoryChart)
        text += "Double-click a row for its history chart (temp-history.db beside PATH).\n";
    text +=
        "\n"
        "  --help     print this and exit\n"
        "  --version  print the version and exit\n";
    return text;
}

std::string VersionText()
{
    return std::string("Karvix ") + TEMP_VERSION + "\n";
}

std::array<Span, kTopLineCount> TopLine(const std::array<int, kTopLineCount>& needed, double dpi)
{
    const int gap = TwipsToPixels(30, dpi);
    std::array<Span, kTopLineCount> line{};
    int reached = 0;  // where the control before ends, with the gap
    for (int i = 0; i < kTopLineCount; ++i) {
        const ControlDesign& design = kControls[static_cast<size_t>(i)];
        Span& span = line[static_cast<size_t>(i)];
        span.left = std::max(TwipsToPixels(design.left, dpi), reached);
        span.width = std::max(TwipsToPixels(design.width, dpi), needed[static_cast<size_t>(i)]);
        bool label = design.kind == ControlKind::Label;
        reached = span.left + (label ? needed[static_cast<size_t>(i)] : span.width) + gap;
    }
    for (int i = 0; i + 1 < kTopLineCount; ++i) {
        Span& span = line[static_cast<size_t>(i)];
        if (kControls[static_cast<size_t>(i)].kind == ControlKind::Label)
            span.width = std::max(needed[static_cast<size_t>(i)],
                                  std::min(span.width, line[static_cast<size_t>(i) + 1].left - span.left));
    }
    return line;
}

std::string ArgumentText(std::string_view commandLine)
{
    size_t i = 0;
    if (!commandLine.empty() && commandLine[0] == '"') {
        size_t close = commandLine.find('"', 1);
        i = close == std::string_view::npos ? commandLine.size() : close + 1;
    } else {
        while (i < commandLine.size() && commandLine[i] != ' ' && commandLine[i] != '\t')
            ++i;
    }
    while (i < commandLine.size() && (commandLine[i] == ' ' || commandLine[i] == '\t'))
        ++i;
    return std::string(commandLine.substr(i));
}

std::string ProgramDirectory(std::string_view programPath)
{
    size_t cut = programPath.find_last_of("\\/");
    return cut == std::string_view::npos ? std::string(".") : std::string(programPath.substr(0, cut));
}

std::vector<std::string> TableDirectories(std::string_view programDirectory, std::string_view dbFile)
{
    std::vector<std::string> dirs{std::string(programDirectory)};
    std::string beside = ProgramDirectory(dbFile);
    if (beside != dirs.front())
        dirs.push_back(beside);
    return dirs;
}

std::string TableNote(const std::string& usedPath, const std::vector<std::string>& searchedPaths)
{
    if (!usedPath.empty())
        return "Places from " + usedPath;
    std::string note = "No place table (every place reads \"Unknown element\"); looked for";
    for (size_t i = 0; i < searchedPaths.size(); ++i)
        note += (i == 0 ? " " : " and ") + searchedPaths[i];
    return note;
}

std::string List1Note(const std::string& usedPath, const std::vector<std::string>& searchedPaths)
{
    return TableNote(usedPath, searchedPaths) + "\nRow times: the record's stamp in " + kRowZone;
}

std::string ZoneText(int offsetSeconds)
{
    if (offsetSeconds == 0)
        return "UTC";
    int minutes = (offsetSeconds < 0 ? -offsetSeconds : offsetSeconds) / 60;
    char text[16];
    std::snprintf(text, sizeof text, "UTC%c%02d:%02d", offsetSeconds < 0 ? '-' : '+', minutes / 60, minutes % 60);
    return text;
}

std::string RefreshTimeNote(int offsetSeconds)
{
    return "Time of the refresh, local time (" + ZoneText(offsetSeconds) + "); row times are " + kRowZone;
}

std::string UnreadableText(const std::string& path, const std::string& reason)
{
    return "Can't read \"" + path + "\": " + reason + ". Karvix tries again at every tick.";
}

void KarvixView::Start(std::string_view commandText, std::string_view tableBytes)
{
    DbFile_ = kDefaultDbFile;
    TableLines_ = TableFromBytes(tableBytes);
    if (!commandText.empty())
        DbFile_ = std::string(commandText.substr(0, commandText.find(' ')));
}

void KarvixView::SetTable(std::string_view tableBytes)
{
    TableLines_ = TableFromBytes(tableBytes);
}

std::string KarvixView::NotFoundText() const
{
    return "File \"" + DbFile_ + "\" not found. Check the correct name and location";
}

TickAction KarvixView::Tick(const FileStamp* stamp)
{
    if (Ended_)
        return TickAction::Ended;
    if (!stamp) {
        // One message, then the end: later ticks (the box runs its own
        // message loop) do nothing.
        Ended_ = true;
        return TickAction::NotFound;
    }
    NewDate_ = *stamp;
    return OldDate_ == NewDate_ ? TickAction::Unchanged : TickAction::Refresh;
}

size_t KarvixView::Refresh(std::string_view fileBytes)
{
    OldDate_ = NewDate_;
    size_t written = std::max(List1_.size(), static_cast<size_t>(kBlankedRows));
    List1_.resize(written);
    List3_.resize(written);
    std::fill_n(List1_.begin(), kBlankedRows, std::string());
    std::fill_n(List3_.begin(), kBlankedRows, std::string());
    written = kBlankedRows;

    size_t k = 0;
    for (const std::string& raw : SplitLines(fileBytes)) {
        std::string line = CleanRecordLine(raw);
        if (IsSkippedRecord(line))
            continue;
        std::string place = myvalue(line, TableLines_);
        if (k == List1_.size()) {
            List1_.emplace_back();
            List3_.emplace_back();
        }
        List1_[k] = mytime(line) + place;
        List3_[k] = line + place;
        ++k;
    }
    Count_ = static_cast<int>(k);
    return std::max(written, k);
}

std::string SnapshotText(const std::vector<std::string>& rows)
{
    std::string text;
    for (const std::string& row : rows)
        text.append(row).append("\r\n");
    return text;
}

}  // namespace karvix
