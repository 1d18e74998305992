// Karvix: watches the logger's capture file and shows its measured records.
#include <QApplication>

#include "karvixfrm.h"
#ifdef KARVIX_WITH_HISTORY
#include "karvix_chart.h"
#endif

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    Karvixfrm window(KarvixCommandLine(QCoreApplication::arguments()));
    window.Form_Load();
#ifdef KARVIX_WITH_HISTORY
    KarvixAttachHistory(&window);
#endif
    return app.exec();
}
