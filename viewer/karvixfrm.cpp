#include "karvixfrm.h"

#include <QApplication>
#include <QClipboard>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
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

// Reads a whole file; an empty result when it can't be opened, with the
// reason in `error`.
QByteArray ReadWholeFile(const QString& path, bool* opened = nullptr, QString* error = nullptr)
{
    // Read-only: on every platform Qt opens it shared, so the logger can keep
    // writing while we read.
    QFile file(path);
    bool ok = file.open(QIODevice::ReadOnly);
    if (opened)
        *opened = ok;
    if (!ok && error)
        *error = file.errorString();
    return ok ? file.readAll() : QByteArray();
}

// The local time's offset from UTC now, in seconds.
int LocalOffsetSeconds()
{
    return QDateTime::currentDateTime().offsetFromUtc();
}

std::string_view Bytes(const QByteArray& bytes)
{
    return std::string_view(bytes.constData(), static_cast<size_t>(bytes.size()));
}

QString Shown(const std::string& bytes)
{
    return QString::fromLocal8Bit(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

QString DesignText(karvix::ControlId id)
{
    return QString::fromLatin1(karvix::kControls[id].text);
}

QString DesignName(karvix::ControlId id)
{
    return QString::fromLatin1(karvix::kControls[id].name);
}

}  // namespace

QString KarvixCommandLine(const QStringList& arguments)
{
    return arguments.mid(1).join(QLatin1Char(' '));
}

Karvixfrm::Karvixfrm(const QString& commandLine, QWidget* parent)
    : QWidget(parent),
      CommandLine(commandLine),
      TableDirectory(QCoreApplication::applicationDirPath()),
      TimeSource([] { return QTime::currentTime(); })
{
    InitKarvixResources();
    setObjectName(QStringLiteral("Karvixfrm"));
    setWindowTitle(QString::fromLatin1(karvix::kDesignCaption));
    setWindowIcon(QIcon(QStringLiteral(":/karvix/karvix.png")));
    // The controls are sized for an 8-point dialog font.
    QFont designFont = font();
    designFont.setPointSize(karvix::kDesignFontPoints);
    setFont(designFont);

    createLabels();
    createTextBoxes();
    createButton();
    createLists();
    createTimer();
    placeControls();
    fitTimeBoxes();
    createTabOrder();
}

int Karvixfrm::twipsToPixels(int twips) const
{
    QScreen* shownOn = screen() ? screen() : QGuiApplication::primaryScreen();
    return karvix::TwipsToPixels(twips, shownOn ? shownOn->logicalDotsPerInch() : 96.0);
}

void Karvixfrm::createLabels()
{
    Label1 = new QLabel(DesignText(karvix::Label1), this);
    Label2 = new QLabel(DesignText(karvix::Label2), this);
    Label17 = new QLabel(DesignText(karvix::Label17), this);
}

void Karvixfrm::createTextBoxes()
{
    Text1 = new QLineEdit(DesignText(karvix::Text1), this);
    Text2 = new QLineEdit(DesignText(karvix::Text2), this);
    Expect = new QLineEdit(DesignText(karvix::Expect), this);
    Label1->setBuddy(Text1);
    Label2->setBuddy(Text2);
    Label17->setBuddy(Expect);
}

void Karvixfrm::createButton()
{
    Command1 = new QPushButton(DesignText(karvix::Command1), this);
    connect(Command1, &QPushButton::clicked, this, &Karvixfrm::Command1_Click);
}

void Karvixfrm::createLists()
{
    List1 = new QListWidget(this);
    List3 = new QListWidget(this);
    for (QListWidget* list : {List1, List3}) {
        list->setSortingEnabled(false);
        list->setSelectionMode(QAbstractItemView::SingleSelection);
        // Every row is one line of text: skip measuring each row at layout.
        list->setUniformItemSizes(true);
    }
    ErrorText = new QLabel(this);
    ErrorText->setObjectName(QStringLiteral("ErrorText"));
    ErrorText->setWordWrap(true);
    ErrorText->setAutoFillBackground(true);
    ErrorText->setStyleSheet(QStringLiteral("QLabel { color: #a00000; background: #fff0f0; padding: 4px; }"));
    ErrorText->hide();
}

void Karvixfrm::createTimer()
{
    TmrTimer = new QTimer(this);
    TmrTimer->setObjectName(QStringLiteral("TmrTimer"));
    TmrTimer->setInterval(karvix::kTickMs);
    connect(TmrTimer, &QTimer::timeout, this, &Karvixfrm::TmrTimer_Timer);
}

QWidget* Karvixfrm::control(karvix::ControlId id) const
{
    QWidget* const controls[] = {Label1, Text1, Label2, Text2, Label17, Expect, Command1, List1, List3};
    static_assert(std::size(controls) == karvix::kControlCount);
    return controls[id];
}

void Karvixfrm::placeControls()
{
    for (const karvix::ControlDesign& design : karvix::kControls) {
        QWidget* widget = control(design.id);
        widget->setObjectName(DesignName(design.id));
        widget->setGeometry(twipsToPixels(design.left), twipsToPixels(design.top), twipsToPixels(design.width),
                            twipsToPixels(design.height));
    }
    resize(twipsToPixels(karvix::kClientWidthTwips), twipsToPixels(karvix::kClientHeightTwips));
}

void Karvixfrm::fitTimeBoxes()
{
    // The design's 735 twips hold "HH:MM:SS" only in the original's narrow
    // font; a box too narrow would scroll its first digit out of view. Left
    // and top stay; the width grows just enough.
    for (QLineEdit* box : {Text1, Text2}) {
        const int frame = box->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, box);
        // The line edit keeps 2 pixels each side inside its frame, and 1 for the cursor.
        const int needed = box->fontMetrics().horizontalAdvance(QStringLiteral("00:00:00")) + 2 * frame + 4 + 1;
        if (box->width() < needed)
            box->resize(needed, box->height());
    }
    const QString note = Shown(karvix::RefreshTimeNote(LocalOffsetSeconds()));
    Text1->setToolTip(note);
    Text2->setToolTip(note);
}

void Karvixfrm::createTabOrder()
{
    // The labels take no focus; their buddies do.
    QWidget* previous = nullptr;
    for (karvix::ControlId id : karvix::ControlsInTabOrder()) {
        if (!karvix::TakesFocus(id))
            continue;
        if (previous)
            setTabOrder(previous, control(id));
        previous = control(id);
    }
}

void Karvixfrm::Form_Load()
{
    QByteArray commandText = CommandLine.toLocal8Bit();
    View.Start(Bytes(commandText), {});
    DbPath = Shown(View.DbFile());
    // The table's second place depends on the watched file: read after it.
    View.SetTable(Bytes(ReadTable()));
    setWindowTitle(Shown(View.Caption()));
    List1->setFocus();  // first in the tab order
    show();
    TmrTimer->start();
}

QString Karvixfrm::dbFile() const
{
    return DbPath;
}

QString Karvixfrm::errorText() const
{
    return ErrorText->isHidden() ? QString() : ErrorText->text();
}

QByteArray Karvixfrm::ReadTable()
{
    QByteArray programDirectory = QFile::encodeName(TableDirectory);
    std::vector<std::string> searched;
    TableFile.clear();
    QByteArray bytes;
    for (const std::string& directory : karvix::TableDirectories(Bytes(programDirectory), View.DbFile())) {
        QString path = QFileInfo(QFile::decodeName(QByteArray::fromStdString(directory)) + QLatin1Char('/') +
                                 QLatin1String(karvix::kTableFileName))
                           .absoluteFilePath();
        bool opened = false;
        bytes = ReadWholeFile(path, &opened);
        if (opened) {
            TableFile = path;
            break;
        }
        searched.push_back(QFile::encodeName(path).toStdString());
    }
    List1->setToolTip(Shown(karvix::List1Note(QFile::encodeName(TableFile).toStdString(), searched)));
    return bytes;
}

bool Karvixfrm::FileExists(const QString& folderspec, karvix::FileStamp* stamp)
{
    // The idle tick's only work: one status check of the file, never cached.
    // The full-resolution time and the size, so that a write within the
    // same second as the last refresh still counts as a change.
#ifdef Q_OS_WIN
    QFileInfo info(folderspec);
    bool found = !folderspec.isEmpty() && info.isFile();
    if (found)
        *stamp = karvix::FileStamp{info.lastModified().toMSecsSinceEpoch(), info.size(), 0};
#else
    if (folderspec != StatPath) {
        StatPath = folderspec;
        StatName = QFile::encodeName(folderspec);
    }
    struct stat info;
    bool found = !folderspec.isEmpty() && ::stat(StatName.constData(), &info) == 0 && S_ISREG(info.st_mode);
    if (found)
        *stamp = karvix::FileStamp{static_cast<long long>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec,
                                   static_cast<long long>(info.st_size), static_cast<unsigned long long>(info.st_ino),
                                   static_cast<unsigned long long>(info.st_dev)};
#endif
    if (!found)
        QApplication::beep();
    return found;
}

void Karvixfrm::TmrTimer_Timer()
{
    karvix::FileStamp stamp{};
    bool exists = FileExists(DbPath, &stamp);
    switch (View.Tick(exists ? &stamp : nullptr)) {
    case karvix::TickAction::NotFound:
        reportMissingFile();
        return;
    case karvix::TickAction::Refresh:
        break;
    default:
        return;
    }

    // A file that vanished or can't be read leaves the rows as they are and
    // is tried again at the next tick; the window says why meanwhile.
    bool opened = false;
    QString error;
    QByteArray bytes = ReadWholeFile(DbPath, &opened, &error);
    if (!opened) {
        showReadError(error);
        return;
    }
    ErrorText->hide();

    size_t written = View.Refresh(Bytes(bytes));
    Text1->setText(Text2->text());
    Text2->setText(TimeSource().toString(QStringLiteral("HH:mm:ss")));
    // Should a box still be too narrow, it loses the last digit, not the first.
    Text1->setCursorPosition(0);
    Text2->setCursorPosition(0);
    writeRows(List1, View.List1Rows(), written);
    writeRows(List3, View.List3Rows(), written);
    resizeList1();
    Expect->setText(QString::number(View.Count()));
}

void Karvixfrm::resizeList1()
{
    QSize outer = frameGeometry().size();
    QScreen* shownOn = screen() ? screen() : QGuiApplication::primaryScreen();
    karvix::Size size =
        karvix::List1Size({outer.width(), outer.height()}, shownOn ? shownOn->logicalDotsPerInch() : 96.0);
    List1->resize(size.width, size.height);
}

void Karvixfrm::showReadError(const QString& reason)
{
    ErrorText->setText(Shown(karvix::UnreadableText(View.DbFile(), reason.toLocal8Bit().toStdString())));
    const QRect area = List1->geometry();
    ErrorText->setGeometry(area.left() + 8, area.top() + 8, std::max(0, area.width() - 16),
                           ErrorText->heightForWidth(std::max(0, area.width() - 16)));
    ErrorText->raise();
    ErrorText->show();
}

void Karvixfrm::reportMissingFile()
{
    // The box runs its own event loop: the timer stops first.
    TmrTimer->stop();
    QMessageBox box(QMessageBox::NoIcon, QString::fromLatin1(karvix::kDesignCaption), Shown(View.NotFoundText()),
                    QMessageBox::Ok, this);
    box.exec();
    close();
}

void Karvixfrm::Command1_Click()
{
    QClipboard* clipboard = QGuiApplication::clipboard();
    clipboard->clear();
    clipboard->setText(Shown(karvix::SnapshotText(View.List1Rows())));
}

QString Karvixfrm::mytime(const QString& line) const
{
    QByteArray bytes = line.toLocal8Bit();
    return Shown(karvix::mytime(Bytes(bytes)));
}

QString Karvixfrm::myvalue(const QString& Rec) const
{
    QByteArray bytes = Rec.toLocal8Bit();
    return Shown(karvix::myvalue(Bytes(bytes), View.Table()));
}

void Karvixfrm::writeRows(QListWidget* list, const std::vector<std::string>& rows, size_t count)
{
    // Rows 0..count-1 as the view holds them; writing the row just past the
    // end appends it.
    for (size_t i = 0; i < count; ++i) {
        int row = static_cast<int>(i);
        QString text = Shown(rows[i]);
        if (row < list->count())
            list->item(row)->setText(text);
        else
            list->addItem(text);
    }
}
