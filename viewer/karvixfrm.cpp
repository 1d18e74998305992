#include "karvixfrm.h"

#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QFileInfo>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTimer>

#include <algorithm>
#include <cmath>
#ifndef Q_OS_WIN
#include <sys/stat.h>
#endif

// The icon lives in a static library, so its resource is registered by hand.
static void InitKarvixResources()
{
    Q_INIT_RESOURCE(karvix);
}

namespace {

constexpr int kTwipsPerInch = 1440;
constexpr int kClientWidthTwips = 9810;
constexpr int kClientHeightTwips = 7095;
// List1 takes the window's outer size less these margins at each refresh.
constexpr int kList1HeightMarginTwips = 900;
constexpr int kList1WidthMarginTwips = 400;
constexpr int kTickMs = 100;
constexpr int kDesignFontPoints = 8;
// Rows 0..26 of both lists are blanked by every refresh.
constexpr int kBlankedRows = 27;
const char kTableFileName[] = "Direct Access table.txt";

// Reads a whole file; an empty result when it can't be opened.
QByteArray ReadWholeFile(const QString& path, bool* opened = nullptr)
{
    // Read-only: on every platform Qt opens it shared, so the logger can keep
    // writing while we read.
    QFile file(path);
    bool ok = file.open(QIODevice::ReadOnly);
    if (opened)
        *opened = ok;
    return ok ? file.readAll() : QByteArray();
}

std::string_view View(const QByteArray& bytes)
{
    return std::string_view(bytes.constData(), static_cast<size_t>(bytes.size()));
}

QString Shown(const std::string& bytes)
{
    return QString::fromLocal8Bit(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

}  // namespace

QString KarvixCommandLine(const QStringList& arguments)
{
    return arguments.mid(1).join(QLatin1Char(' '));
}

Karvixfrm::Karvixfrm(const QString& commandLine, QWidget* parent)
    : QWidget(parent),
      CommandLine(commandLine),
      TableLines(karvix::TableFromBytes({})),
      TableDirectory(QCoreApplication::applicationDirPath()),
      TimeSource([] { return QTime::currentTime(); })
{
    InitKarvixResources();
    setObjectName(QStringLiteral("Karvixfrm"));
    setWindowTitle(QStringLiteral("Karvix"));
    setWindowIcon(QIcon(QStringLiteral(":/karvix/karvix.png")));
    // The controls are sized for an 8-point dialog font.
    QFont designFont = font();
    designFont.setPointSize(kDesignFontPoints);
    setFont(designFont);

    createLabels();
    createTextBoxes();
    createButton();
    createLists();
    createTimer();
    placeControls();
    createTabOrder();
}

int Karvixfrm::twipsToPixels(int twips) const
{
    QScreen* shownOn = screen() ? screen() : QGuiApplication::primaryScreen();
    double dpi = shownOn ? shownOn->logicalDotsPerInch() : 96.0;
    return static_cast<int>(std::lround(twips * dpi / kTwipsPerInch));
}

void Karvixfrm::createLabels()
{
    Label1 = new QLabel(QStringLiteral("Current"), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label2 = new QLabel(QStringLiteral("Previous"), this);
    Label2->setObjectName(QStringLiteral("Label2"));
    Label17 = new QLabel(QStringLiteral("Records Found"), this);
    Label17->setObjectName(QStringLiteral("Label17"));
}

void Karvixfrm::createTextBoxes()
{
    Text1 = new QLineEdit(this);
    Text1->setObjectName(QStringLiteral("Text1"));
    Text2 = new QLineEdit(this);
    Text2->setObjectName(QStringLiteral("Text2"));
    Expect = new QLineEdit(QStringLiteral("21"), this);
    Expect->setObjectName(QStringLiteral("Expect"));
    Label1->setBuddy(Text1);
    Label2->setBuddy(Text2);
    Label17->setBuddy(Expect);
}

void Karvixfrm::createButton()
{
    Command1 = new QPushButton(QStringLiteral("Snapshot to Clipboard"), this);
    Command1->setObjectName(QStringLiteral("Command1"));
    connect(Command1, &QPushButton::clicked, this, &Karvixfrm::Command1_Click);
}

void Karvixfrm::createLists()
{
    List1 = new QListWidget(this);
    List1->setObjectName(QStringLiteral("List1"));
    List3 = new QListWidget(this);
    List3->setObjectName(QStringLiteral("List3"));
    for (QListWidget* list : {List1, List3}) {
        list->setSortingEnabled(false);
        list->setSelectionMode(QAbstractItemView::SingleSelection);
        // Every row is one line of text: skip measuring each row at layout.
        list->setUniformItemSizes(true);
    }
}

void Karvixfrm::createTimer()
{
    TmrTimer = new QTimer(this);
    TmrTimer->setObjectName(QStringLiteral("TmrTimer"));
    TmrTimer->setInterval(kTickMs);
    connect(TmrTimer, &QTimer::timeout, this, &Karvixfrm::TmrTimer_Timer);
}

void Karvixfrm::placeControls()
{
    struct Placement {
        QWidget* control;
        int left, top, width, height;
    };
    const Placement design[] = {
        {Label1, 120, 0, 855, 255},   {Text1, 720, 0, 735, 285},
        {Label2, 1560, 0, 735, 255},  {Text2, 2280, 0, 735, 285},
        {Label17, 3360, 0, 1215, 375}, {Expect, 4680, 0, 495, 285},
        {Command1, 5520, 0, 1815, 350}, {List1, 90, 420, 9615, 6495},
        {List3, 9390, 6285, 195, 255},
    };
    for (const Placement& p : design)
        p.control->setGeometry(twipsToPixels(p.left), twipsToPixels(p.top), twipsToPixels(p.width),
                               twipsToPixels(p.height));
    resize(twipsToPixels(kClientWidthTwips), twipsToPixels(kClientHeightTwips));
}

void Karvixfrm::createTabOrder()
{
    // The labels (tab places 3, 4 and 6) take no focus; their buddies do.
    QWidget* order[] = {List1, Text1, Text2, Expect, List3, Command1};
    for (size_t i = 1; i < std::size(order); ++i)
        setTabOrder(order[i - 1], order[i]);
}

void Karvixfrm::Form_Load()
{
    DbFile = QStringLiteral("E:\\temp.pd");
    ReadTable();
    if (!CommandLine.isEmpty())
        DbFile = CommandLine.section(QLatin1Char(' '), 0, 0);
    setWindowTitle(QStringLiteral("Karvix of ") + DbFile);
    List1->setFocus();  // first in the tab order
    show();
    TmrTimer->start();
}

void Karvixfrm::ReadTable()
{
    // A missing or unreadable table is an empty one.
    QByteArray bytes = ReadWholeFile(TableDirectory + QLatin1Char('/') + QLatin1String(kTableFileName));
    TableLines = karvix::TableFromBytes(View(bytes));
}

bool Karvixfrm::FileExists(const QString& folderspec)
{
    // The idle tick's only work: one status check of the file, never cached.
    // The full-resolution time and the size, so that a write within the
    // same second as the last refresh still counts as a change.
#ifdef Q_OS_WIN
    QFileInfo info(folderspec);
    bool found = !folderspec.isEmpty() && info.isFile();
    if (found)
        NewDate = FileStamp{info.lastModified().toMSecsSinceEpoch() * 1000000, info.size(), 0};
#else
    if (folderspec != StatPath) {
        StatPath = folderspec;
        StatName = QFile::encodeName(folderspec);
    }
    struct stat info;
    bool found = !folderspec.isEmpty() && ::stat(StatName.constData(), &info) == 0 && S_ISREG(info.st_mode);
    if (found)
        NewDate = FileStamp{static_cast<qint64>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec,
                            static_cast<qint64>(info.st_size), static_cast<quint64>(info.st_ino)};
#endif
    if (!found)
        QApplication::beep();
    return found;
}

void Karvixfrm::TmrTimer_Timer()
{
    if (!FileExists(DbFile)) {
        reportMissingFile();
        return;
    }
    if (OldDate == NewDate)
        return;

    // Opened before anything changes: a file that vanished or can't be read
    // leaves the window as it is and is tried again at the next tick.
    bool opened = false;
    QByteArray bytes = ReadWholeFile(DbFile, &opened);
    if (!opened)
        return;

    OldDate = NewDate;
    Text1->setText(Text2->text());
    Text2->setText(TimeSource().toString(QStringLiteral("HH:mm:ss")));
    for (int i = 0; i < kBlankedRows; ++i) {
        setRow(List1, i, QString());
        setRow(List3, i, QString());
    }
    resizeList1();

    int k = 0;
    for (const std::string& raw : karvix::SplitLines(View(bytes))) {
        std::string line = karvix::CleanRecordLine(raw);
        if (karvix::IsSkippedRecord(line))
            continue;
        std::string place = karvix::myvalue(line, TableLines);
        setRow(List1, k, Shown(karvix::mytime(line) + place));
        setRow(List3, k, Shown(line + place));
        ++k;
    }
    Expect->setText(QString::number(k));
}

void Karvixfrm::resizeList1()
{
    QSize outer = frameGeometry().size();
    int width = std::max(0, outer.width() - twipsToPixels(kList1WidthMarginTwips));
    int height = std::max(0, outer.height() - twipsToPixels(kList1HeightMarginTwips));
    List1->resize(width, height);
}

void Karvixfrm::reportMissingFile()
{
    // The box runs its own event loop; a running timer would stack up boxes.
    if (Ending)
        return;
    Ending = true;
    TmrTimer->stop();
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Karvix"),
                    QStringLiteral("File \"") + DbFile +
                        QStringLiteral("\" not found. Check the correct name and location"),
                    QMessageBox::Ok, this);
    box.exec();
    close();
}

void Karvixfrm::Command1_Click()
{
    QString snapshot;
    for (int i = 0; i < List1->count(); ++i)
        snapshot += List1->item(i)->text() + QStringLiteral("\r\n");
    QClipboard* clipboard = QGuiApplication::clipboard();
    clipboard->clear();
    clipboard->setText(snapshot);
}

QString Karvixfrm::mytime(const QString& line) const
{
    QByteArray bytes = line.toLocal8Bit();
    return Shown(karvix::mytime(View(bytes)));
}

QString Karvixfrm::myvalue(const QString& Rec) const
{
    QByteArray bytes = Rec.toLocal8Bit();
    return Shown(karvix::myvalue(View(bytes), TableLines));
}

void Karvixfrm::setRow(QListWidget* list, int row, const QString& text)
{
    // Writing the row just past the end appends it.
    if (row < list->count())
        list->item(row)->setText(text);
    else
        list->addItem(text);
}
