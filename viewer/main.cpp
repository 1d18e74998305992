// Karvix: watches the logger's capture file and shows its measured records.
#include <QApplication>

#include <cstdio>
#include <cstring>

#include "karvixfrm.h"
#ifdef KARVIX_WITH_HISTORY
#include "karvix_chart.h"
#endif

namespace {

const char kUsage[] =
    "Usage: Karvix [PATH [ignored words...]]\n"
    "Watches the logger's data file PATH (E:\\temp.pd without one) and shows its measured\n"
    "records, one row each. The path ends at its first blank.\n"
    "\n"
    "Places come from \"Direct Access table.txt\" beside the Karvix program, or else\n"
    "beside PATH; the window's list says which (hover over it). Row times are the\n"
    "records' stamps in UTC+01:00; the two refresh times are local time.\n"
    "Double-click a row for its history chart (temp-history.db beside PATH).\n"
    "\n"
    "  --help     print this and exit\n"
    "  --version  print the version and exit\n";

}  // namespace

int main(int argc, char* argv[])
{
    // Answered before any window: they need no display.
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("Karvix %s\n", KARVIX_VERSION);
        return 0;
    }
    QApplication app(argc, argv);
    Karvixfrm window(KarvixCommandLine(QCoreApplication::arguments()));
    window.Form_Load();
#ifdef KARVIX_WITH_HISTORY
    KarvixAttachHistory(&window);
#endif
    return app.exec();
}
