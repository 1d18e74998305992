// Karvix's window: start-up, controls, the refresh tick, the clipboard
// snapshot and the missing-file message. Ticks are driven by calling
// TmrTimer_Timer() directly; file times are set explicitly, never waited for.
#include <QtTest>

#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>

#include <memory>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "karvixfrm.h"

namespace {

const QDateTime kBaseTime(QDate(2026, 12, 8), QTime(12, 0, 0, 100), Qt::UTC);
const char kScratchpad[] = "BE2A00FFFF0C10100C55";

QString Serial(int i)
{
    return QStringLiteral("28FF00112233%1").arg(i, 4, 16, QLatin1Char('0')).toUpper();
}

// The record text as the logger leaves it: the line, padded to 98, CR LF.
QByteArray Record(int i)
{
    QByteArray line = QStringLiteral("%1.123,%2,%3,21.000,21.063 ")
                          .arg(1700000000 + i)
                          .arg(Serial(i), QLatin1String(kScratchpad))
                          .toLatin1();
    return line.leftJustified(98, ' ') + "\r\n";
}

QByteArray BlankRecord()
{
    return QByteArray(",,,,").leftJustified(98, ' ') + "\r\n";
}

// Row of List1 for record i with the table written by WriteTable().
QString Row(int i, bool known = true)
{
    return QTime(23, 13, 20).addSecs(i).toString(QStringLiteral("HH:mm:ss")) + QLatin1Char(',') + Serial(i) +
           QLatin1Char(',') + QLatin1String(kScratchpad) + QStringLiteral(",21.000,21.063  - ") +
           (known ? QStringLiteral(" %1 Room%1").arg(i) : QStringLiteral("Unknown element"));
}

// A capture file of `total` records; those listed in `measured` hold a reading.
QByteArray PoolFile(int total, const QList<int>& measured)
{
    QByteArray bytes;
    for (int r = 0; r < total; ++r)
        bytes += measured.contains(r) ? Record(r) : BlankRecord();
    return bytes;
}

QList<int> Range(int from, int to, int step = 1)
{
    QList<int> list;
    for (int i = from; i < to; i += step)
        list << i;
    return list;
}

void WriteFile(const QString& path, const QByteArray& bytes, const QDateTime& modified = kBaseTime)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
    file.close();
    QVERIFY(file.open(QIODevice::ReadWrite));
    QVERIFY(file.setFileTime(modified, QFileDevice::FileModificationTime));
}

void WriteTable(const QString& dir)
{
    QByteArray table;
    for (int i = 0; i < 60; ++i)
        table += QStringLiteral("%1 %2 Room%2\r\n").arg(Serial(i)).arg(i).toLatin1();
    WriteFile(dir + QStringLiteral("/Direct Access table.txt"), table);
}

template <typename T>
T* Control(QWidget* window, const char* name)
{
    T* control = window->findChild<T*>(QLatin1String(name));
    if (!control)
        qFatal("control %s missing", name);
    return control;
}

QStringList Rows(QWidget* window, const char* list)
{
    QStringList rows;
    QListWidget* widget = Control<QListWidget>(window, list);
    for (int i = 0; i < widget->count(); ++i)
        rows << widget->item(i)->text();
    return rows;
}

}  // namespace

class FormTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void startup_data();
    void startup();
    void controls_data();
    void controls();
    void windowAndTabOrder();
    void refreshMovesTimes();
    void changeDetection_data();
    void changeDetection();
    void refreshRows_data();
    void refreshRows();
    void rowsFrom27KeepOlderText();
    void missingTableReadsUnknown();
    void tableSearchOrder_data();
    void tableSearchOrder();
    void timeFieldsShowEveryDigit();
    void unreadableFileIsShownAsError();
    void list1FollowsWindowSize();
    void clipboardSnapshot();
    void missingFileEndsProgram_data();
    void missingFileEndsProgram();

private:
    // A started viewer on `capture`, its timer stopped so that only the test ticks.
    std::unique_ptr<Karvixfrm> Start(const QString& commandLine, bool withTable = true);
    QString CapturePath() const { return dir_->filePath(QStringLiteral("temp.pd")); }

    std::unique_ptr<QTemporaryDir> dir_;
    int clockSeconds_ = 0;
};

void FormTest::init()
{
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
    clockSeconds_ = 0;
}

std::unique_ptr<Karvixfrm> FormTest::Start(const QString& commandLine, bool withTable)
{
    if (withTable)
        WriteTable(dir_->path());
    auto window = std::make_unique<Karvixfrm>(commandLine);
    window->setTableDirectory(dir_->path());
    window->setTimeSource([this] { return QTime(10, 0, 0).addSecs(clockSeconds_++); });
    window->Form_Load();
    Control<QTimer>(window.get(), "TmrTimer")->stop();
    return window;
}

void FormTest::startup_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("path");
    QTest::newRow("no argument") << QStringList{"Karvix"} << QStringLiteral("E:\\temp.pd");
    QTest::newRow("one path") << QStringList{"Karvix", "/data/temp.pd"} << QStringLiteral("/data/temp.pd");
    QTest::newRow("path and further words") << QStringList{"Karvix", "/data/temp.pd", "more", "words"}
                                            << QStringLiteral("/data/temp.pd");
    QTest::newRow("quotes are literal") << QStringList{"Karvix", "\"C:\\My", "Data\\temp.pd\""}
                                        << QStringLiteral("\"C:\\My");
    QTest::newRow("blank inside one argument") << QStringList{"Karvix", "/a b/temp.pd"} << QStringLiteral("/a");
}

void FormTest::startup()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, path);
    auto window = Start(KarvixCommandLine(arguments));
    QCOMPARE(window->dbFile(), path);
    QCOMPARE(window->windowTitle(), QStringLiteral("Karvix of ") + path);
    QVERIFY(window->isVisible());
    QCOMPARE(window->focusWidget(), Control<QWidget>(window.get(), "List1"));
}

void FormTest::controls_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QRect>("geometry");  // pixels at 96 dpi; the time boxes may be wider
    QTest::newRow("Label1") << "Label1" << "QLabel" << "Current" << QRect(8, 0, 57, 17);
    QTest::newRow("Text1") << "Text1" << "QLineEdit" << "" << QRect(48, 0, 49, 19);
    QTest::newRow("Label2") << "Label2" << "QLabel" << "Previous" << QRect(104, 0, 49, 17);
    QTest::newRow("Text2") << "Text2" << "QLineEdit" << "" << QRect(152, 0, 49, 19);
    QTest::newRow("Label17") << "Label17" << "QLabel" << "Records Found" << QRect(224, 0, 81, 25);
    QTest::newRow("Expect") << "Expect" << "QLineEdit" << "21" << QRect(312, 0, 33, 19);
    QTest::newRow("Command1") << "Command1" << "QPushButton" << "Snapshot to Clipboard" << QRect(368, 0, 121, 23);
    QTest::newRow("List1") << "List1" << "QListWidget" << "" << QRect(6, 28, 641, 433);
    QTest::newRow("List3") << "List3" << "QListWidget" << "" << QRect(626, 419, 13, 17);
}

void FormTest::controls()
{
    QFETCH(QString, name);
    QFETCH(QString, kind);
    QFETCH(QString, text);
    QFETCH(QRect, geometry);
    Karvixfrm window;
    if (window.twipsToPixels(1440) != 96)
        QSKIP("pixel geometry is checked at 96 dpi");
    QWidget* control = window.findChild<QWidget*>(name);
    QVERIFY(control);
    QCOMPARE(control->metaObject()->className(), kind);
    if (name.startsWith(QStringLiteral("Text"))) {
        QCOMPARE(control->geometry().topLeft(), geometry.topLeft());
        QCOMPARE(control->height(), geometry.height());
        QVERIFY(control->width() >= geometry.width());
        QVERIFY2(control->geometry().right() < 224, "a time box runs into \"Records Found\"");
    } else {
        QCOMPARE(control->geometry(), geometry);
    }
    if (auto* label = qobject_cast<QLabel*>(control))
        QCOMPARE(label->text(), text);
    else if (auto* edit = qobject_cast<QLineEdit*>(control))
        QCOMPARE(edit->text(), text);
    else if (auto* button = qobject_cast<QPushButton*>(control))
        QCOMPARE(button->text(), text);
    else
        QCOMPARE(qobject_cast<QListWidget*>(control)->count(), 0);
}

void FormTest::windowAndTabOrder()
{
    Karvixfrm window;
    QCOMPARE(window.objectName(), QStringLiteral("Karvixfrm"));
    QCOMPARE(window.windowTitle(), QStringLiteral("Karvix"));
    QVERIFY(!window.windowIcon().isNull());
    QCOMPARE(Control<QTimer>(&window, "TmrTimer")->interval(), 100);
    QVERIFY(!Control<QTimer>(&window, "TmrTimer")->isActive());
    if (window.twipsToPixels(1440) == 96)
        QCOMPARE(window.size(), QSize(654, 473));

    const QStringList order{"List1", "Label1", "Text1", "Text2", "Label2", "Expect", "Label17", "List3", "Command1"};
    // Labels take no focus; the focusable controls follow the design order.
    QStringList expected{"List1", "Text1", "Text2", "Expect", "List3", "Command1"};
    QStringList chain;
    QWidget* w = Control<QWidget>(&window, "List1");
    do {
        if (order.contains(w->objectName()) && w->focusPolicy() != Qt::NoFocus)
            chain << w->objectName();
        w = w->nextInFocusChain();
    } while (w != Control<QWidget>(&window, "List1"));
    QCOMPARE(chain, expected);
    // Only the labels stay out of keyboard focus.
    for (const QString& name : order)
        QCOMPARE(Control<QWidget>(&window, name.toLatin1().constData())->focusPolicy() == Qt::NoFocus,
                 name.startsWith(QStringLiteral("Label")));
}

void FormTest::refreshMovesTimes()
{
    WriteFile(CapturePath(), PoolFile(41, {0}));
    auto window = Start(CapturePath());
    auto* text1 = Control<QLineEdit>(window.get(), "Text1");
    auto* text2 = Control<QLineEdit>(window.get(), "Text2");

    window->TmrTimer_Timer();
    QCOMPARE(text1->text(), QString());
    QCOMPARE(text2->text(), QStringLiteral("10:00:00"));

    WriteFile(CapturePath(), PoolFile(41, {0, 1}), kBaseTime.addSecs(5));
    window->TmrTimer_Timer();
    QCOMPARE(text1->text(), QStringLiteral("10:00:00"));
    QCOMPARE(text2->text(), QStringLiteral("10:00:01"));

    // Unchanged file: nothing moves.
    window->TmrTimer_Timer();
    QCOMPARE(text1->text(), QStringLiteral("10:00:00"));
    QCOMPARE(text2->text(), QStringLiteral("10:00:01"));

    // What the user typed into Text2 moves to Text1 at the next refresh.
    text2->setText(QStringLiteral("typed"));
    WriteFile(CapturePath(), PoolFile(41, {0}), kBaseTime.addSecs(9));
    window->TmrTimer_Timer();
    QCOMPARE(text1->text(), QStringLiteral("typed"));
    QCOMPARE(text2->text(), QStringLiteral("10:00:02"));
}

void FormTest::changeDetection_data()
{
    QTest::addColumn<int>("laterMs");
    QTest::addColumn<int>("records");
    QTest::addColumn<bool>("renamed");  // written aside and renamed into place
    QTest::addColumn<bool>("refreshed");
    QTest::newRow("same second, later millisecond") << 400 << 41 << false << true;
    QTest::newRow("same time to the millisecond, new size") << 0 << 42 << false << true;
    QTest::newRow("rewritten alike") << 0 << 41 << false << false;
    QTest::newRow("renamed into place, same time and size") << 0 << 41 << true << true;
}

void FormTest::changeDetection()
{
    QFETCH(int, laterMs);
    QFETCH(int, records);
    QFETCH(bool, renamed);
    QFETCH(bool, refreshed);
    WriteFile(CapturePath(), PoolFile(41, {3}));
    auto window = Start(CapturePath());
    window->TmrTimer_Timer();
    QCOMPARE(Rows(window.get(), "List1").first(), Row(3));

    if (renamed) {
        const QString aside = dir_->filePath(QStringLiteral("temp.pd.new"));
        WriteFile(aside, PoolFile(records, {4}), kBaseTime.addMSecs(laterMs));
        QVERIFY(::rename(QFile::encodeName(aside).constData(), QFile::encodeName(CapturePath()).constData()) == 0);
    } else {
        WriteFile(CapturePath(), PoolFile(records, {4}), kBaseTime.addMSecs(laterMs));
    }
    window->TmrTimer_Timer();
    QCOMPARE(Rows(window.get(), "List1").first(), refreshed ? Row(4) : Row(3));
    QCOMPARE(Control<QLineEdit>(window.get(), "Text2")->text(),
             refreshed ? QStringLiteral("10:00:01") : QStringLiteral("10:00:00"));
}

void FormTest::refreshRows_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QList<int>>("shown");  // record numbers in row order
    QTest::newRow("41 records, 18 measured") << PoolFile(41, Range(0, 36, 2)) << Range(0, 36, 2);
    QTest::newRow("new file of blank records") << PoolFile(41, {}) << QList<int>{};
    QTest::newRow("bare LF line ends") << PoolFile(5, {1, 4}).replace("\r\n", "\n") << QList<int>{1, 4};
    QTest::newRow("last record without line end") << PoolFile(3, {0, 2}).chopped(2) << QList<int>{0, 2};
    // A record written past the end leaves a NUL gap before it.
    QTest::newRow("record beyond a gap") << PoolFile(41, {40}) + QByteArray(200, '\0') + Record(43)
                                         << QList<int>{40, 43};
    QTest::newRow("empty file") << QByteArray() << QList<int>{};
}

void FormTest::refreshRows()
{
    QFETCH(QByteArray, file);
    QFETCH(QList<int>, shown);
    WriteFile(CapturePath(), file);
    auto window = Start(CapturePath());
    QCOMPARE(Control<QLineEdit>(window.get(), "Expect")->text(), QStringLiteral("21"));
    window->TmrTimer_Timer();

    QCOMPARE(Control<QLineEdit>(window.get(), "Expect")->text(), QString::number(shown.size()));
    QStringList list1 = Rows(window.get(), "List1");
    QStringList list3 = Rows(window.get(), "List3");
    QCOMPARE(list1.size(), qMax(27, int(shown.size())));
    QCOMPARE(list3.size(), list1.size());
    for (int k = 0; k < list1.size(); ++k) {
        if (k < shown.size()) {
            QCOMPARE(list1[k], Row(shown[k]));
            QString line = QString::fromLatin1(Record(shown[k])).trimmed() + QLatin1Char(' ');
            QCOMPARE(list3[k], line + QStringLiteral(" -  %1 Room%1").arg(shown[k]));
        } else {
            QCOMPARE(list1[k], QString());
            QCOMPARE(list3[k], QString());
        }
    }
}

void FormTest::rowsFrom27KeepOlderText()
{
    WriteFile(CapturePath(), PoolFile(41, Range(0, 30)));
    auto window = Start(CapturePath());
    window->TmrTimer_Timer();
    QCOMPARE(Rows(window.get(), "List1").size(), 30);

    WriteFile(CapturePath(), PoolFile(41, Range(35, 40)), kBaseTime.addSecs(1));
    window->TmrTimer_Timer();
    QStringList rows = Rows(window.get(), "List1");
    QCOMPARE(rows.size(), 30);
    for (int k = 0; k < 5; ++k)
        QCOMPARE(rows[k], Row(35 + k));
    for (int k = 5; k < 27; ++k)
        QCOMPARE(rows[k], QString());
    for (int k = 27; k < 30; ++k)
        QCOMPARE(rows[k], Row(k));
    QCOMPARE(Rows(window.get(), "List3")[27].left(14), QStringLiteral("1700000027.123"));
    QCOMPARE(Control<QLineEdit>(window.get(), "Expect")->text(), QStringLiteral("5"));
}

void FormTest::missingTableReadsUnknown()
{
    WriteFile(CapturePath(), PoolFile(41, {0, 7}));
    auto window = Start(CapturePath(), /*withTable=*/false);
    window->TmrTimer_Timer();
    QCOMPARE(Rows(window.get(), "List1").mid(0, 2), (QStringList{Row(0, false), Row(7, false)}));
    QCOMPARE(window->myvalue(QStringLiteral("1.0,28FF001122330000,x")), QStringLiteral(" - Unknown element"));
}

void FormTest::tableSearchOrder_data()
{
    // Where tables lie (program folder, beside the watched file, working
    // directory) and whose labels the rows show. "Program" is the test's
    // own folder (Karvix's default); "installed" a folder holding only the program.
    QTest::addColumn<bool>("installed");
    QTest::addColumn<QStringList>("tables");
    QTest::addColumn<QString>("shown");  // the label, empty: Unknown element
    QTest::newRow("program folder first") << false << QStringList{"Program", "Capture", "Working"} << "Program";
    QTest::newRow("installed: beside the watched file") << true << QStringList{"Capture", "Working"} << "Capture";
    QTest::newRow("not in the working directory") << true << QStringList{"Working"} << "";
    QTest::newRow("none") << true << QStringList{} << "";
}

void FormTest::tableSearchOrder()
{
    QFETCH(bool, installed);
    QFETCH(QStringList, tables);
    QFETCH(QString, shown);
    const auto table = [](const QString& label) {
        return QStringLiteral("%1 7 %2\r\n").arg(Serial(0), label).toLatin1();
    };
    const QString programTable = QCoreApplication::applicationDirPath() + QStringLiteral("/Direct Access table.txt");
    QVERIFY2(!QFileInfo::exists(programTable), "a table is already beside the test program");
    const auto removeTable = qScopeGuard([&] { QFile::remove(programTable); });
    QTemporaryDir bin, working;
    QMap<QString, QString> places{{"Program", programTable},
                                  {"Capture", dir_->filePath(QStringLiteral("Direct Access table.txt"))},
                                  {"Working", working.filePath(QStringLiteral("Direct Access table.txt"))}};
    for (const QString& where : tables)
        WriteFile(places[where], table(where));
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(working.path()));
    const auto restore = qScopeGuard([&] { QDir::setCurrent(previous); });

    WriteFile(CapturePath(), PoolFile(41, {0}));
    Karvixfrm window(CapturePath());
    if (installed)
        window.setTableDirectory(bin.path());
    window.Form_Load();
    Control<QTimer>(&window, "TmrTimer")->stop();
    window.TmrTimer_Timer();
    const QString row = Rows(&window, "List1").first();
    const QString tip = Control<QListWidget>(&window, "List1")->toolTip();
    QVERIFY2(tip.contains(QStringLiteral("UTC+01:00")), qPrintable(tip));
    if (shown.isEmpty()) {
        QCOMPARE(row, Row(0, false));
        QCOMPARE(window.tableFile(), QString());
        QVERIFY2(tip.startsWith(QStringLiteral("No place table")), qPrintable(tip));
        QVERIFY2(tip.contains(dir_->path()), qPrintable(tip));  // where it looked
    } else {
        QVERIFY2(row.endsWith(QStringLiteral(" -  7 ") + shown), qPrintable(row));
        QCOMPARE(window.tableFile(), places[shown]);
        QVERIFY2(tip.startsWith(QStringLiteral("Places from ") + places[shown]), qPrintable(tip));
    }
}

void FormTest::timeFieldsShowEveryDigit()
{
    WriteFile(CapturePath(), PoolFile(41, {0}));
    auto window = Start(CapturePath());
    window->setTimeSource([] { return QTime(20, 48, 58); });  // wide digits
    window->TmrTimer_Timer();
    WriteFile(CapturePath(), PoolFile(41, {1}), kBaseTime.addSecs(1));
    window->TmrTimer_Timer();
    for (const char* name : {"Text1", "Text2"}) {
        auto* box = Control<QLineEdit>(window.get(), name);
        QCOMPARE(box->text(), QStringLiteral("20:48:58"));
        // The text fits when showing its end scrolls nothing: the cursor
        // moves by the text's full width.
        box->setCursorPosition(0);
        window->grab();
        const int start = box->inputMethodQuery(Qt::ImCursorRectangle).toRect().center().x();
        box->setCursorPosition(int(box->text().size()));
        window->grab();
        const int end = box->inputMethodQuery(Qt::ImCursorRectangle).toRect().center().x();
        QVERIFY2(start >= 0 && end < box->width(), name);
        QCOMPARE(end - start, box->fontMetrics().horizontalAdvance(box->text()));
        QVERIFY2(box->toolTip().contains(QStringLiteral("local time (UTC")), qPrintable(box->toolTip()));
    }
}

void FormTest::unreadableFileIsShownAsError()
{
    WriteFile(CapturePath(), PoolFile(41, {0}));
    QVERIFY(chmod(QFile::encodeName(dir_->path()).constData(), 0755) == 0);
    QVERIFY(chmod(QFile::encodeName(CapturePath()).constData(), 0) == 0);
    auto window = Start(CapturePath());
    // Root reads any file: tick as nobody, who may look but not read.
    const auto tickAsUser = [&] {
        struct passwd* nobody = geteuid() == 0 ? getpwnam("nobody") : nullptr;
        if (nobody)
            QVERIFY(seteuid(nobody->pw_uid) == 0);
        window->TmrTimer_Timer();
        if (nobody)
            QVERIFY(seteuid(0) == 0);
    };
    tickAsUser();
    QVERIFY2(window->errorText().startsWith(QStringLiteral("Can't read \"") + CapturePath() + QStringLiteral("\": ")),
             qPrintable(window->errorText()));
    QVERIFY2(window->errorText().contains(QStringLiteral("ermission")), qPrintable(window->errorText()));
    QCOMPARE(Control<QLineEdit>(window.get(), "Expect")->text(), QStringLiteral("21"));

    // Readable again: the next tick refreshes and the error goes.
    QVERIFY(chmod(QFile::encodeName(CapturePath()).constData(), 0644) == 0);
    tickAsUser();
    QCOMPARE(window->errorText(), QString());
    QCOMPARE(Rows(window.get(), "List1").first(), Row(0));
}

void FormTest::list1FollowsWindowSize()
{
    WriteFile(CapturePath(), PoolFile(41, {0}));
    auto window = Start(CapturePath());
    auto* list1 = Control<QListWidget>(window.get(), "List1");
    const QPoint position = list1->pos();
    window->resize(800, 600);
    window->TmrTimer_Timer();
    QSize outer = window->frameGeometry().size();
    QCOMPARE(list1->size(),
             QSize(outer.width() - window->twipsToPixels(400), outer.height() - window->twipsToPixels(900)));
    QCOMPARE(list1->pos(), position);

    // Smaller than the margins: clamped at zero, not negative.
    window->resize(10, 10);
    WriteFile(CapturePath(), PoolFile(41, {1}), kBaseTime.addSecs(1));
    window->TmrTimer_Timer();
    QCOMPARE(list1->size(), QSize(0, 0));
}

void FormTest::clipboardSnapshot()
{
    WriteFile(CapturePath(), PoolFile(41, Range(0, 18)));
    auto window = Start(CapturePath());
    QClipboard* clipboard = QGuiApplication::clipboard();
    clipboard->setText(QStringLiteral("left over"));

    // Before the first refresh List1 is empty: so is the clipboard.
    window->Command1_Click();
    QCOMPARE(clipboard->text(), QString());

    window->TmrTimer_Timer();
    QString expected;
    for (int i = 0; i < 18; ++i)
        expected += Row(i) + QStringLiteral("\r\n");
    expected += QStringLiteral("\r\n").repeated(9);
    Control<QPushButton>(window.get(), "Command1")->click();
    QCOMPARE(clipboard->text(), expected);
    QCOMPARE(clipboard->text().count(QStringLiteral("\r\n")), 27);

    window->Command1_Click();
    QCOMPARE(clipboard->text(), expected);
}

void FormTest::missingFileEndsProgram_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("no such file") << QStringLiteral("absent.pd");
    QTest::newRow("a directory") << QStringLiteral(".");
}

void FormTest::missingFileEndsProgram()
{
    QFETCH(QString, name);
    const QString path = dir_->filePath(name);
    WriteTable(dir_->path());
    Karvixfrm window(path);
    window.setTableDirectory(dir_->path());

    // Answers each modal box as a user would, recording what it showed.
    QStringList texts;
    QTimer answerer;
    answerer.setInterval(20);
    connect(&answerer, &QTimer::timeout, this, [&texts] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box)
            return;
        texts << box->text();
        QCOMPARE(box->windowTitle(), QStringLiteral("Karvix"));
        QCOMPARE(box->icon(), QMessageBox::NoIcon);
        QCOMPARE(box->standardButtons(), QMessageBox::StandardButtons(QMessageBox::Ok));
        box->button(QMessageBox::Ok)->click();
    });
    answerer.start();
    // A stuck program must not hang the test: give up after a generous while.
    QTimer guard;
    guard.setSingleShot(true);
    connect(&guard, &QTimer::timeout, qApp, [] { QCoreApplication::exit(99); });
    guard.start(60000);

    // The real timer runs here: the program ends through its own event loop.
    window.Form_Load();
    QCOMPARE(QApplication::exec(), 0);
    answerer.stop();

    QCOMPARE(texts, QStringList{QStringLiteral("File \"") + path +
                                QStringLiteral("\" not found. Check the correct name and location")});
    QVERIFY(!window.isVisible());
    QVERIFY(!Control<QTimer>(&window, "TmrTimer")->isActive());
    // Further ticks show no second box.
    window.TmrTimer_Timer();
    QCOMPARE(texts.size(), 1);
}

QTEST_MAIN(FormTest)
#include "form_test.moc"
