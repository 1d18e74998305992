// Karvixfrm, the viewer's one window: it watches the capture file, shows its
// measured records one per row with a time of day and a place text, the times
// of the last two refreshes and the number of records, and copies the rows to
// the clipboard on request. The rules live in karvix::KarvixView (shared with
// the Win32 window); this class holds the Qt controls and moves the view's
// results into them.
#pragma once

#include <QString>
#include <QTime>
#include <QWidget>

#include <functional>

#include "karvix_view.h"

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
    // True when `folderspec` names an existing file; `stamp` gets its
    // modification time, size and identity. Beeps when it returns false.
    bool FileExists(const QString& folderspec, karvix::FileStamp* stamp);
    // The bytes of the first "Direct Access table.txt" found: in the table
    // directory, then beside the watched file (none when neither can be
    // read). tableFile() tells which one, empty for none.
    QByteArray ReadTable();
    QString mytime(const QString& line) const;
    QString myvalue(const QString& Rec) const;

    QString dbFile() const;
    QString tableFile() const { return TableFile; }
    // The place table as read at start-up.
    const karvix::TableLines& placeTable() const { return View.Table(); }
    // The error shown while the watched file can't be read; empty when none.
    QString errorText() const;
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
    void fitTimeBoxes();
    void showReadError(const QString& reason);
    void reportMissingFile();
    QWidget* control(karvix::ControlId id) const;
    static void writeRows(QListWidget* list, const std::vector<std::string>& rows, size_t count);

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
    // Over List1 while the watched file can't be read; hidden otherwise.
    QLabel* ErrorText = nullptr;

    QString CommandLine;
    karvix::KarvixView View;
    QString DbPath;  // View.DbFile() as text, made once at the start
    // FileExists' path in the system's encoding, made once per path.
    QString StatPath;
    QByteArray StatName;
    QString TableDirectory;
    QString TableFile;
    std::function<QTime()> TimeSource;
};

// The command-line text after the program's name, rebuilt from the arguments.
QString KarvixCommandLine(const QStringList& arguments);
