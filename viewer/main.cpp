// Karvix: watches the logger's capture file and shows its measured records.
#include <QApplication>

#include <cstdio>

#include "karvixfrm.h"
#ifdef KARVIX_WITH_HISTORY
#include "karvix_chart.h"
#endif

namespace {
#ifdef KARVIX_WITH_HISTORY
constexpr bool kHistoryChart = true;
#else
constexpr bool kHistoryChart = false;
#endif
}  // namespace

int main(int argc, char* argv[])
{
    // Answered before any window: they need no display.
    switch (argc == 2 ? karvix::StartOptionOf(argv[1]) : karvix::StartOption::None) {
    case karvix::StartOption::Help:
        std::fputs(karvix::UsageText(kHistoryChart).c_str(), stdout);
        return 0;
    case karvix::StartOption::Version:
        std::fputs(karvix::VersionText().c_str(), stdout);
        return 0;
    case karvix::StartOption::None:
        break;
    }
    QApplication app(argc, argv);
    Karvixfrm window(KarvixCommandLine(QCoreApplication::arguments()));
    window.Form_Load();
#ifdef KARVIX_WITH_HISTORY
    KarvixAttachHistory(&window);
#endif
    return app.exec();
}
