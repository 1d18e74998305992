// Karvix's record decoding: time of day, place lookup, line handling, and
// robustness on arbitrary bytes.
#include <QtTest>

#include <random>

#include "karvix_records.h"

namespace {

QByteArray Bytes(const std::string& s)
{
    return QByteArray(s.data(), static_cast<qsizetype>(s.size()));
}

std::string Std(const QByteArray& b)
{
    return std::string(b.constData(), static_cast<size_t>(b.size()));
}

bool IsTimeOfDay(const std::string& s)
{
    if (s.size() < 8 || s[2] != ':' || s[5] != ':')
        return false;
    for (int i : {0, 1, 3, 4, 6, 7})
        if (s[i] < '0' || s[i] > '9')
            return false;
    int h = std::stoi(s.substr(0, 2)), m = std::stoi(s.substr(3, 2)), sec = std::stoi(s.substr(6, 2));
    return h < 24 && m < 60 && sec < 60;
}

}  // namespace

class RecordsTest : public QObject {
    Q_OBJECT

private slots:
    void mytimeDecodes_data();
    void mytimeDecodes();
    void myvalueLooksUp_data();
    void myvalueLooksUp();
    void myvalueWithEmptyTable();
    void trailingBlanks_data();
    void trailingBlanks();
    void lineSplitting_data();
    void lineSplitting();
    void tableSlots();
    void nulGapRemoved();
    void arbitraryBytesNeverBreak();
};

void RecordsTest::mytimeDecodes_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QByteArray>("expected");
    const QByteArray rest = ",28FF0011223344AA,BE2A00FFFF0C10100C55,21.000,21.063 ";
    QTest::newRow("worked example 90.000") << "90.000" + rest << "01:01:30" + rest;
    QTest::newRow("23:30 UTC is the next day's 00:30") << "84600.000" + rest << "00:30:00" + rest;
    QTest::newRow("logger stamp") << "1700000000.123" + rest << "23:13:20" + rest;
    QTest::newRow("fraction dropped") << "90.999" + rest << "01:01:30" + rest;
    QTest::newRow("no fraction") << "90" + rest << "01:01:30" + rest;
    QTest::newRow("short stamp field") << QByteArray("0.5,X") << QByteArray("01:00:00,X");
    QTest::newRow("blanks around stamp") << QByteArray("  90.000 ,X") << QByteArray("01:01:30,X");
    QTest::newRow("before 1970") << QByteArray("-1,X") << QByteArray("00:59:59,X");
    QTest::newRow("before 1970 with fraction") << QByteArray("-0.5,X") << QByteArray("00:59:59,X");
    QTest::newRow("whole day before 1970") << QByteArray("-86400.000,X") << QByteArray("01:00:00,X");
    QTest::newRow("huge stamp") << QByteArray(40, '9') + ",X" << QByteArray("18:46:39,X");
    QTest::newRow("huge negative stamp") << QByteArray("-12345678901234567890.5,X") << QByteArray("17:28:29,X");
    // Malformed stamps: the line is shown as it stands.
    for (const char* bad : {"abc,X,Y", ",28FF,X", "1e5,X", "12.3.4,X", "+,X", ".,X", "12 34,X",
                            "no comma at all", ""})
        QTest::newRow(bad) << QByteArray(bad) << QByteArray(bad);
}

void RecordsTest::mytimeDecodes()
{
    QFETCH(QByteArray, line);
    QFETCH(QByteArray, expected);
    QCOMPARE(Bytes(karvix::mytime(Std(line))), expected);
}

void RecordsTest::myvalueLooksUp_data()
{
    QTest::addColumn<QByteArray>("record");
    QTest::addColumn<QByteArray>("expected");
    const QByteArray tail = ",BE2A00FFFF0C10100C55,21.000,21.063 ";
    QTest::newRow("table layout gives two blanks before the place") << "1700000000.123,28FF0011223344AA" + tail
                                                                  << QByteArray(" -  1 Kitchen");
    QTest::newRow("first duplicate wins") << "1.0,28FF0011223344AA" + tail << QByteArray(" -  1 Kitchen");
    QTest::newRow("lower-case table line never matches") << "90.000,28FF0011223344BB" + tail
                                                         << QByteArray(" - Unknown element");
    QTest::newRow("lower-case record never matches") << "90.000,28ff0011223344aa" + tail
                                                     << QByteArray(" - Unknown element");
    QTest::newRow("leading blanks never match") << "90.000,28FF0011223344CC" + tail
                                                << QByteArray(" - Unknown element");
    QTest::newRow("serial-only table line") << "90.000,28FF0011223344DD" + tail << QByteArray(" - ");
    QTest::newRow("short table line never matches") << "90.000,28FF001122334455" + tail
                                                    << QByteArray(" - Unknown element");
    QTest::newRow("place text kept untrimmed") << "90.000,28FF0011223344EE" + tail
                                               << QByteArray(" - \t7  Cellar door  ");
    QTest::newRow("record starting with comma") << QByteArray(",,,,") << QByteArray();
    QTest::newRow("comma then serial") << ",28FF0011223344AA" + tail << QByteArray();
    QTest::newRow("one comma only") << QByteArray("90.000,28FF0011223344AA") << QByteArray(" - Unknown element");
    QTest::newRow("no comma") << QByteArray("garbage") << QByteArray(" - Unknown element");
    QTest::newRow("empty line") << QByteArray() << QByteArray(" - Unknown element");
    QTest::newRow("second comma before position 17") << QByteArray("9,28FF0011,rest")
                                                     << QByteArray(" - Unknown element");
    // The key is the 16 characters just before the second comma.
    QTest::newRow("second comma at position 17") << QByteArray("9,28FF0011223344,rest") << QByteArray(" -  odd");
    QTest::newRow("second comma at position 16") << QByteArray("9,28FF001122334,rest")
                                                 << QByteArray(" - Unknown element");
}

void RecordsTest::myvalueLooksUp()
{
    QFETCH(QByteArray, record);
    QFETCH(QByteArray, expected);
    const karvix::TableLines table = karvix::TableFromBytes(
        "28FF0011223344AA 1 Kitchen\r\n"
        "28ff0011223344bb 2 lower\r\n"
        " 28FF0011223344CC 3 Lead\r\n"
        "28FF0011223344AA 9 Second\r\n"
        "28FF0011223344DD\r\n"
        "28FF00112233445 5 Short\r\n"
        "28FF0011223344EE\t7  Cellar door  \r\n"
        "9,28FF0011223344 odd\n");
    QCOMPARE(Bytes(karvix::myvalue(Std(record), table)), expected);
}

void RecordsTest::myvalueWithEmptyTable()
{
    const std::string rec = "1700000000.123,28FF0011223344AA,BE2A00FFFF0C10100C55,21.000,21.063 ";
    QCOMPARE(Bytes(karvix::myvalue(rec, karvix::TableFromBytes({}))), QByteArray(" - Unknown element"));
    // A table of empty lines matches nothing either.
    QCOMPARE(Bytes(karvix::myvalue(rec, karvix::TableFromBytes("\r\n\r\n"))), QByteArray(" - Unknown element"));
}

void RecordsTest::trailingBlanks_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("record padding") << "1,2 " + QByteArray(80, ' ') << QByteArray("1,2 ");
    QTest::newRow("non-blank end stays whole") << QByteArray("a b") << QByteArray("a b");
    QTest::newRow("one blank stays") << QByteArray("ab ") << QByteArray("ab ");
    QTest::newRow("blanks only") << QByteArray("    ") << QByteArray(" ");
    QTest::newRow("empty") << QByteArray() << QByteArray();
    QTest::newRow("tab is not a blank") << QByteArray("a\t") << QByteArray("a\t");
}

void RecordsTest::trailingBlanks()
{
    QFETCH(QByteArray, line);
    QFETCH(QByteArray, expected);
    QCOMPARE(Bytes(karvix::CutTrailingBlanks(Std(line))), expected);
}

void RecordsTest::lineSplitting_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QList<QByteArray>>("lines");
    QTest::newRow("CR LF") << QByteArray("a\r\nb\r\n") << QList<QByteArray>{"a", "b"};
    QTest::newRow("bare LF") << QByteArray("a\nb\n") << QList<QByteArray>{"a", "b"};
    QTest::newRow("last line unterminated") << QByteArray("a\r\nb") << QList<QByteArray>{"a", "b"};
    QTest::newRow("empty lines kept") << QByteArray("\r\n\r\nc") << QList<QByteArray>{"", "", "c"};
    QTest::newRow("bare CR is text") << QByteArray("a\rb\r\r\n") << QList<QByteArray>{"a\rb\r"};
    QTest::newRow("empty file") << QByteArray() << QList<QByteArray>{};
}

void RecordsTest::lineSplitting()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QList<QByteArray>, lines);
    QList<QByteArray> got;
    for (const std::string& line : karvix::SplitLines(Std(bytes)))
        got << Bytes(line);
    QCOMPARE(got, lines);
}

void RecordsTest::tableSlots()
{
    // Slot 0 stays empty; an empty file still has slots 0 and 1.
    QCOMPARE(karvix::TableFromBytes({}), (karvix::TableLines{"", ""}));
    QCOMPARE(karvix::TableFromBytes("x"), (karvix::TableLines{"", "x"}));
    QCOMPARE(karvix::TableFromBytes("x \r\ny\r\n"), (karvix::TableLines{"", "x ", "y"}));
}

void RecordsTest::nulGapRemoved()
{
    // A record written past the end of the file leaves a run of NUL bytes
    // before it; the record itself must still decode.
    std::string gap(200, '\0');
    std::string line = karvix::CleanRecordLine(gap + "90.000,28FF0011223344AA,BE,1.000,1.000     ");
    QCOMPARE(Bytes(line), QByteArray("90.000,28FF0011223344AA,BE,1.000,1.000 "));
    QVERIFY(karvix::IsSkippedRecord(karvix::CleanRecordLine(gap)));
    QVERIFY(karvix::IsSkippedRecord(karvix::CleanRecordLine(",,,," + std::string(94, ' '))));
    QVERIFY(!karvix::IsSkippedRecord(karvix::CleanRecordLine("x")));
}

void RecordsTest::arbitraryBytesNeverBreak()
{
    // Random lines drawn mostly from the characters that matter to the
    // decoding. Under the sanitizers this also proves no out-of-range read.
    std::mt19937 rng(20261208);
    const char alphabet[] = ",.-+ 0123456789ABCDEF\0\r\xff";
    const karvix::TableLines table = karvix::TableFromBytes("0123456789ABCDEF place\r\n,,,,,,,,,,,,,,,,x\r\n");
    for (int round = 0; round < 20000; ++round) {
        std::string line(rng() % 40, ' ');
        for (char& c : line)
            c = rng() % 8 == 0 ? static_cast<char>(rng()) : alphabet[rng() % (sizeof alphabet - 1)];
        std::string time = karvix::mytime(line);
        size_t comma = line.find(',');
        if (time != line) {
            QVERIFY2(IsTimeOfDay(time), time.c_str());
            QVERIFY(comma != std::string::npos);
            QCOMPARE(Bytes(time.substr(8)), Bytes(line.substr(comma)));
        }
        std::string place = karvix::myvalue(line, table);
        QVERIFY(place.empty() == (!line.empty() && line[0] == ','));
        QVERIFY(place.empty() || place.compare(0, 3, " - ") == 0);
        karvix::TableFromBytes(line);
        karvix::CleanRecordLine(line);
    }
}

QTEST_APPLESS_MAIN(RecordsTest)
#include "records_test.moc"
