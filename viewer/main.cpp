// Karvix: watches the logger's capture file and shows its measured records.
#include <QApplication>

#include "karvixfrm.h"

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    Karvixfrm window(KarvixCommandLine(QCoreApplication::arguments()));
    window.Form_Load();
    return app.exec();
}
