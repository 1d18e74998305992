// Karvixfrm, the viewer's one window: it watches the capture file, shows its
// measured records one per row with a time of day and a place text, the times
// of the last two refreshes and the number of records, and copies the rows to
// the clipboard on request.
#pragma once

#include <QString>
#include <QTime>
#include <QWidget>

#include <functional>

#include "karvix_records.h"

class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QTimer;

class Karvixfrm : public QWidget {
    Q_OBJECT

public:
    // `commandLine` is the text after the program's name (see
    // KarvixCommandLine); it is examined by Form_Load.
    explicit Karvixfrm(const QString& commandLine = QString(), QWidget* parent = nullptr);

    // Start-up: reads the place table, takes the path from the command line,
    // sets the caption, shows the window and starts TmrTimer.
    void Form_Load();
    // One 100 ms tick: checks the capture file and refreshes when it changed.
    void TmrTimer_Timer();
    // Puts the rows of List1, each ended by CR LF, on the clipboard.
    void Command1_Click();
    // True when `folderspec` names an existing file; sets NewDate to its
    // modification time, size and identity. Beeps when it returns false.
    bool FileExists(const QString& folderspec);
    // Loads "Direct Access table.txt" from the table directory.
    void ReadTable();
    QString mytime(const QString& line) const;
    QString myvalue(const QString& Rec) const;

    QString dbFile() const { return DbFile; }
    // The directory of "Direct Access table.txt"; the program's own
    // directory unless replaced (tests) before Form_Load.
    void setTableDirectory(const QString& directory) { TableDirectory = directory; }
    // Source of the local time of day shown in Text2 (tests fix it).
    void setTimeSource(std::function<QTime()> source) { TimeSource = std::move(source); }

    // Design-time geometry, in twips; converted with the screen's logical DPI.
    int twipsToPixels(int twips) const;

private:
    void createLabels();
    void createTextBoxes();
    void createButton();
    void createLists();
    void createTimer();
    void createTabOrder();
    void placeControls();
    void resizeList1();
    void reportMissingFile();
    static void setRow(QListWidget* list, int row, const QString& text);

    QLabel* Label1 = nullptr;
    QLineEdit* Text1 = nullptr;
    QLabel* Label2 = nullptr;
    QLineEdit* Text2 = nullptr;
    QLabel* Label17 = nullptr;
    QLineEdit* Expect = nullptr;
    QPushButton* Command1 = nullptr;
    QListWidget* List1 = nullptr;
    QListWidget* List3 = nullptr;
    QTimer* TmrTimer = nullptr;

    QString CommandLine;
    QString DbFile;
    // What one status check of the file tells: equal stamps, unchanged file.
    struct FileStamp {
        qint64 modifiedNs = -1;
        qint64 size = -1;
        quint64 identity = 0;  // the file's inode, so a file renamed into place counts as changed
        bool operator==(const FileStamp& other) const
        {
            return modifiedNs == other.modifiedNs && size == other.size && identity == other.identity;
        }
        bool operator!=(const FileStamp& other) const { return !(*this == other); }
    };
    FileStamp OldDate;
    FileStamp NewDate;
    // FileExists' path in the system's encoding, made once per path.
    QString StatPath;
    QByteArray StatName;
    karvix::TableLines TableLines;
    QString TableDirectory;
    std::function<QTime()> TimeSource;
    bool Ending = false;  // the missing-file message has been shown
};

// The command-line text after the program's name, rebuilt from the arguments.
QString KarvixCommandLine(const QStringList& arguments);
