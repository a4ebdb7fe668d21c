// The packet tables that the build generates from the firmware image, and the
// generator's refusal of images that must never reach a unit.

#include "link/frame.h"
#include "update/packets.h"

#include <QFile>
#include <QMap>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QStringList table(const char *const *entries, std::size_t count)
{
    QStringList list;
    for (std::size_t i = 0; i < count; ++i)
        list << QString::fromLatin1(entries[i]);
    return list;
}

QStringList eraseTable() { return table(firmware::ErasePackets, firmware::ErasePacketCount); }
QStringList programTable() { return table(firmware::ProgramPackets, firmware::ProgramPacketCount); }

// Command byte, fields and checksum of a packet text, or empty when the text
// is not a well-formed frame.
frame::Bytes bodyOf(const QString &text)
{
    const QByteArray latin = text.toLatin1();
    return frame::check(frame::fromHex(std::string_view(latin.constData(), latin.size())))
        .value_or(frame::Bytes{});
}

int addressOf(const frame::Bytes &body)
{
    return body.size() >= 5 ? body[2] | body[3] << 8 | body[4] << 16 : -1;
}

QList<int> programAddresses()
{
    QList<int> list;
    for (const QString &text : programTable())
        list << addressOf(bodyOf(text));
    return list;
}

// Byte address to value, from the data records of an Intel HEX file.
QMap<int, quint8> readImage(const QString &path)
{
    QMap<int, quint8> bytes;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return bytes;
    int base = 0;
    while (!file.atEnd()) {
        const QByteArray rec = QByteArray::fromHex(file.readLine().trimmed().mid(1));
        if (rec.size() < 5)
            continue;
        const int type = quint8(rec[3]);
        const int offset = quint8(rec[1]) << 8 | quint8(rec[2]);
        if (type == 0x02)
            base = (quint8(rec[4]) << 8 | quint8(rec[5])) << 4;
        else if (type == 0x04)
            base = (quint8(rec[4]) << 8 | quint8(rec[5])) << 16;
        else if (type == 0x00)
            for (int i = 0; i < quint8(rec[0]); ++i)
                bytes[base + ((offset + i) & 0xFFFF)] = quint8(rec[4 + i]);
    }
    return bytes;
}

struct ToolRun {
    int exitCode = -1; // also when the tool did not run or crashed
    QString stdOut, stdErr;
};

ToolRun runTool(const QString &in, const QString &out)
{
    QProcess tool;
    tool.start(QStringLiteral(AXR574_TABLEGEN), {in, out});
    const bool ran = tool.waitForFinished(-1) && tool.exitStatus() == QProcess::NormalExit;
    return {ran ? tool.exitCode() : -1, QString::fromLocal8Bit(tool.readAllStandardOutput()),
            QString::fromLocal8Bit(tool.readAllStandardError())};
}

QString hexData(const QString &name)
{
    return QStringLiteral(AXR574_TESTDATA "/hex/") + name;
}

} // namespace

class TablesTest : public QObject
{
    Q_OBJECT

private slots:
    void eraseTableHasOneEntryPerRowAndTenEscapes();
    void eraseEntriesReadExactlyAsTheFrameRuleGives_data();
    void eraseEntriesReadExactlyAsTheFrameRuleGives();
    void programEntriesBeginWithTheirEscapedHeader_data();
    void programEntriesBeginWithTheirEscapedHeader();
    void programAddressesAscendThroughWholeUnitsOfProgramMemory();
    void skippedUnitsHaveNoProgramEntry_data();
    void skippedUnitsHaveNoProgramEntry();
    void everyEntryIsAWellFormedFrameOfItsKind_data();
    void everyEntryIsAWellFormedFrameOfItsKind();
    void programDataIsTheImageByteForByte();

    void toolRefusesAnImageThatMustNotReachTheUnit_data();
    void toolRefusesAnImageThatMustNotReachTheUnit();
    void toolBuildsTablesFromASmallImage();
};

void TablesTest::eraseTableHasOneEntryPerRowAndTenEscapes()
{
    const QSet<int> expected{0x0F00, 0x0F40, 0x0F80, 0x0FC0, 0x2DC0, 0x37C0, 0x38C0, 0x6D80, 0x7780, 0x7880};
    const QStringList erase = eraseTable();
    QCOMPARE(erase.size(), 480);
    for (int i = 0; i < erase.size(); ++i) {
        const int address = addressOf(bodyOf(erase[i]));
        QCOMPARE(address, 0x0800 + 64 * i);
        QCOMPARE(erase[i].size(), expected.contains(address) ? 20 : 18);
    }
}

void TablesTest::eraseEntriesReadExactlyAsTheFrameRuleGives_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("text");
    QTest::newRow("the first row at 0x0800") << 0 << "0F0F0301000800F404";
    QTest::newRow("the second row at 0x0840") << 1 << "0F0F0301400800B404";
    QTest::newRow("the row at 0x0F00 escapes its high address byte") << (0x0F00 - 0x0800) / 64
                                                                     << "0F0F030100050F00ED04";
    QTest::newRow("the row at 0x2DC0 escapes its checksum") << (0x2DC0 - 0x0800) / 64
                                                           << "0F0F0301C02D00050F04";
    QTest::newRow("the row at 0x38C0 escapes a checksum equal to the end byte")
        << (0x38C0 - 0x0800) / 64 << "0F0F0301C03800050404";
    QTest::newRow("the last row at 0x7FC0") << 479 << "0F0F0301C07F00BD04";
}

void TablesTest::eraseEntriesReadExactlyAsTheFrameRuleGives()
{
    QFETCH(int, index);
    QFETCH(QString, text);
    QCOMPARE(eraseTable().value(index), text);
}

void TablesTest::programEntriesBeginWithTheirEscapedHeader_data()
{
    QTest::addColumn<int>("address");
    QTest::addColumn<QString>("header");
    QTest::newRow("the first unit at 0x0800") << 0x0800 << "0F0F0202000800";
    QTest::newRow("the unit at 0x0F00 escapes its high address byte") << 0x0F00 << "0F0F020200050F00";
    QTest::newRow("the unit after the long gap at 0x6A00") << 0x6A00 << "0F0F0202006A00";
    QTest::newRow("the last unit at 0x7FF0") << 0x7FF0 << "0F0F0202F07F00";
}

void TablesTest::programEntriesBeginWithTheirEscapedHeader()
{
    QFETCH(int, address);
    QFETCH(QString, header);
    const qsizetype at = programAddresses().indexOf(address);
    QVERIFY(at >= 0);
    QVERIFY2(programTable()[at].startsWith(header), qPrintable(programTable()[at]));
}

void TablesTest::programAddressesAscendThroughWholeUnitsOfProgramMemory()
{
    const QList<int> addresses = programAddresses();
    QCOMPARE(addresses.size(), 1549);
    QCOMPARE(addresses.first(), 0x0800);
    QCOMPARE(addresses.last(), 0x7FF0);
    for (int i = 0; i < addresses.size(); ++i) {
        QCOMPARE(addresses[i] % 16, 0);
        QVERIFY(i == 0 || addresses[i] > addresses[i - 1]);
    }
}

void TablesTest::skippedUnitsHaveNoProgramEntry_data()
{
    QTest::addColumn<int>("first");
    QTest::addColumn<int>("last");
    QTest::addColumn<int>("before");
    QTest::addColumn<int>("after");
    QTest::newRow("the long gap 0x5320 to 0x69FF") << 0x5320 << 0x69FF << 0x5310 << 0x6A00;
    QTest::newRow("two units at 0x6AE0") << 0x6AE0 << 0x6AFF << 0x6AD0 << 0x6B00;
    QTest::newRow("one unit at 0x6BF0") << 0x6BF0 << 0x6BFF << 0x6BE0 << 0x6C00;
    QTest::newRow("two units at 0x6FE0") << 0x6FE0 << 0x6FFF << 0x6FD0 << 0x7000;
}

void TablesTest::skippedUnitsHaveNoProgramEntry()
{
    QFETCH(int, first);
    QFETCH(int, last);
    QFETCH(int, before);
    QFETCH(int, after);
    const QList<int> addresses = programAddresses();
    for (int address : std::as_const(addresses))
        QVERIFY2(address < first || address > last, qPrintable(QString::number(address, 16)));
    const qsizetype at = addresses.indexOf(before);
    QVERIFY(at >= 0);
    QCOMPARE(addresses.value(at + 1), after);
}

void TablesTest::everyEntryIsAWellFormedFrameOfItsKind_data()
{
    QTest::addColumn<QStringList>("table");
    QTest::addColumn<QString>("command");
    QTest::addColumn<int>("bodySize");
    QTest::newRow("erase entries erase one row") << eraseTable() << "0301" << 6;
    QTest::newRow("program entries write sixteen bytes") << programTable() << "0202" << 22;
}

void TablesTest::everyEntryIsAWellFormedFrameOfItsKind()
{
    QFETCH(QStringList, table);
    QFETCH(QString, command);
    QFETCH(int, bodySize);
    for (const QString &text : std::as_const(table)) {
        QVERIFY2(text.size() >= 12 && text.size() <= 56, qPrintable(text));
        QVERIFY2(text.mid(4, 4) == command, qPrintable(text));
        const frame::Bytes body = bodyOf(text);
        QVERIFY2(int(body.size()) == bodySize, qPrintable(text));
        // Composing again gives the same text: upper case, nothing escaped
        // that need not be.
        const frame::Bytes fields(body.begin(), body.end() - 1);
        QCOMPARE(QString::fromStdString(frame::toHex(frame::compose(fields))), text);
        QCOMPARE(body[4], std::uint8_t(0x00));
    }
}

void TablesTest::programDataIsTheImageByteForByte()
{
    const QMap<int, quint8> image = readImage(QStringLiteral(AXR574_FIRMWARE_HEX));
    QVERIFY(!image.isEmpty());
    const QStringList program = programTable();
    QCOMPARE(qsizetype(image.size()), program.size() * 16);
    for (const QString &text : program) {
        const frame::Bytes body = bodyOf(text);
        const int address = addressOf(body);
        for (int i = 0; i < 16; ++i) {
            QVERIFY2(image.contains(address + i), qPrintable(text));
            QCOMPARE(body[5 + i], image.value(address + i));
        }
    }
}

void TablesTest::toolRefusesAnImageThatMustNotReachTheUnit_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<int>("line");
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("reason");
    QTest::newRow("a record with a bad checksum") << "bad-checksum.hex" << 2 << "0x0810" << "checksum";
    QTest::newRow("a record with a digit that is not hex") << "non-hex-digit.hex" << 3 << "0x0820" << "hex digit";
    QTest::newRow("a record of unknown type") << "unknown-record-type.hex" << 2 << "0x0810" << "type";
    QTest::newRow("an image cut short before its end record") << "missing-eof.hex" << 2 << "0x0810" << "end-of-file";
    QTest::newRow("data reaching below 0x0800 into the bootloader")
        << "below-bootloader-limit.hex" << 1 << "0x07F8" << "bootloader";
    QTest::newRow("data at 0x8000 past the program memory") << "at-8000.hex" << 2 << "0x8000" << "bootloader";
    QTest::newRow("a write unit only partly filled") << "partly-filled-unit.hex" << 2 << "0x0810" << "partly";
    QTest::newRow("a byte given twice with different values")
        << "conflicting-byte.hex" << 2 << "0x080F" << "different value";
    QTest::newRow("a unit whose packet would need too many escapes")
        << "too-many-escapes.hex" << 2 << "0x0810" << "58 hex digits";
    QTest::newRow("an image with no data at all") << "no-data.hex" << 0 << QString() << "no data";
}

void TablesTest::toolRefusesAnImageThatMustNotReachTheUnit()
{
    QFETCH(QString, file);
    QFETCH(int, line);
    QFETCH(QString, address);
    QFETCH(QString, reason);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString out = dir.filePath(QStringLiteral("packets.cpp"));
    // A table left from an earlier good image must not survive the bad one.
    {
        QFile stale(out);
        QVERIFY(stale.open(QIODevice::WriteOnly));
        stale.write("stale");
    }
    const ToolRun run = runTool(hexData(file), out);
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.stdErr.contains(reason), qPrintable(run.stdErr));
    if (line > 0)
        QVERIFY2(run.stdErr.contains(QStringLiteral("line %1:").arg(line)), qPrintable(run.stdErr));
    if (!address.isEmpty())
        QVERIFY2(run.stdErr.contains(address), qPrintable(run.stdErr));
    QVERIFY(run.stdOut.isEmpty());
    QVERIFY(!QFile::exists(out));
}

void TablesTest::toolBuildsTablesFromASmallImage()
{
    // Segment and linear addressing, a unit split over two records, a record
    // given twice with the same bytes and an ignored start address.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString out = dir.filePath(QStringLiteral("packets.cpp"));
    const ToolRun run = runTool(hexData(QStringLiteral("valid.hex")), out);
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.stdOut.trimmed(), QStringLiteral("480 erase packets, 2 program packets"));
    QFile file(out);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QString source = QString::fromLatin1(file.readAll());
    const QStringList program = {
        QStringLiteral("\"0F0F0202000800101112131415161718191A1B1C1D1E1F7C04\""),
        QStringLiteral("\"0F0F0202006A00202122232425262728292A2B2C2D2E2F1A04\""),
    };
    QVERIFY(source.contains(QStringLiteral("\"0F0F0301C07F00BD04\"")));
    QVERIFY(source.indexOf(program[0]) > source.indexOf(QStringLiteral("ProgramPackets[]")));
    QVERIFY(source.indexOf(program[1]) > source.indexOf(program[0]));
    QVERIFY(source.contains(QStringLiteral("ErasePacketCount = 480;")));
    QVERIFY(source.contains(QStringLiteral("ProgramPacketCount = 2;")));

    // Same image, same file: nothing in it depends on when or where it was made.
    const QString again = dir.filePath(QStringLiteral("again.cpp"));
    QCOMPARE(runTool(hexData(QStringLiteral("valid.hex")), again).exitCode, 0);
    QFile second(again);
    QVERIFY(second.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromLatin1(second.readAll()), source);
}

QTEST_GUILESS_MAIN(TablesTest)
#include "tst_tables.moc"
