// The packet tables generated from the firmware image, and the generator's
// refusal of images that must never reach a unit.

#include "link/frame.h"
#include "update/packets.h"

#include <QFile>
#include <QMap>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QStringList table(bool program)
{
    using namespace firmware;
    return program ? QStringList(ProgramPackets, ProgramPackets + ProgramPacketCount)
                   : QStringList(ErasePackets, ErasePackets + ErasePacketCount);
}

// Byte address to value, from the data records of an Intel HEX file.
QMap<int, quint8> readImage(const QString &path)
{
    QMap<int, quint8> bytes;
    QFile file(path);
    int base = 0;
    for (bool ok = file.open(QIODevice::ReadOnly | QIODevice::Text); ok && !file.atEnd();) {
        const QByteArray rec = QByteArray::fromHex(file.readLine().trimmed().mid(1));
        const int type = rec.size() < 5 ? -1 : rec[3];
        if (type == 0x02 || type == 0x04)
            base = (quint8(rec[4]) << 8 | quint8(rec[5])) << (type == 0x02 ? 4 : 16);
        for (int i = 0; type == 0x00 && i < quint8(rec[0]); ++i)
            bytes[base + (((quint8(rec[1]) << 8 | quint8(rec[2])) + i) & 0xFFFF)] = quint8(rec[4 + i]);
    }
    return bytes;
}

} // namespace

using Gaps = QList<QPair<int, int>>;

class TablesTest : public QObject
{
    Q_OBJECT

private slots:
    void tellingEntriesReadExactlyAsTheFrameRuleGives_data();
    void tellingEntriesReadExactlyAsTheFrameRuleGives();
    void everyEntryIsAWellFormedFrameInAscendingOrder_data();
    void everyEntryIsAWellFormedFrameInAscendingOrder();
    void toolBuildsTablesOnlyFromAnImageFitForTheUnit_data();
    void toolBuildsTablesOnlyFromAnImageFitForTheUnit();
};

void TablesTest::tellingEntriesReadExactlyAsTheFrameRuleGives_data()
{
    // Erase entries whole, program entries by their header.
    QTest::addColumn<QString>("text");
    QTest::newRow("erasing 0x0F00 escapes its high address byte") << "0F0F030100050F00ED04";
    QTest::newRow("erasing 0x2DC0 escapes its checksum") << "0F0F0301C02D00050F04";
    QTest::newRow("erasing 0x38C0 escapes a checksum equal to the end byte") << "0F0F0301C03800050404";
    QTest::newRow("programming 0x0F00 escapes its high address byte") << "0F0F020200050F00";
}

void TablesTest::tellingEntriesReadExactlyAsTheFrameRuleGives()
{
    QFETCH(QString, text);
    const bool program = text.mid(4, 4) == QLatin1String("0202");
    const QStringList entries = table(program);
    QVERIFY(std::any_of(
        entries.begin(), entries.end(), [&](const QString &e) { return program ? e.startsWith(text) : e == text; }));
}

void TablesTest::everyEntryIsAWellFormedFrameInAscendingOrder_data()
{
    QTest::addColumn<bool>("program");
    QTest::addColumn<int>("count");
    QTest::addColumn<Gaps>("gaps");
    QTest::newRow("erase entries erase every row from 0x0800 up") << false << 480 << Gaps {};
    QTest::newRow("program entries write the image to every unit it uses (0x6A00 follows 0x5310)")
        << true << 1549 << Gaps {{0x5320, 0x69FF}, {0x6AE0, 0x6AFF}, {0x6BF0, 0x6BFF}, {0x6FE0, 0x6FFF}};
}

void TablesTest::everyEntryIsAWellFormedFrameInAscendingOrder()
{
    QFETCH(bool, program);
    QFETCH(int, count);
    const int step = program ? 16 : 64;
    QFETCH(Gaps, gaps);
    const QStringList entries = table(program);
    const QMap<int, quint8> image = readImage(QStringLiteral(AXR574_FIRMWARE_HEX));
    QCOMPARE(entries.size(), count);
    QCOMPARE(qsizetype(image.size()), table(true).size() * 16);
    Gaps seen;
    int next = 0x0800;
    for (const QString &text : entries) {
        // Command byte, fields and checksum, as the frame checker reads them.
        const QByteArray latin = text.toLatin1();
        const frame::Bytes body
            = frame::check(frame::fromHex({latin.constData(), std::size_t(latin.size())})).value_or(frame::Bytes {});
        QVERIFY2(text.size() >= 12 && text.size() <= 56 && text.mid(4, 4) == (program ? "0202" : "0301")
                && int(body.size()) == (program ? 22 : 6),
            qPrintable(text));
        const int address = body[2] | body[3] << 8 | body[4] << 16;
        QVERIFY2(address >= next && address % step == 0, qPrintable(text));
        if (address != next)
            seen.append({next, address - 1});
        next = address + step;
        for (int i = 0; program && i < 16; ++i)
            QVERIFY2(image.contains(address + i) && body[5 + i] == image.value(address + i), qPrintable(text));
        // Composing again gives the same text: upper case, nothing escaped
        // that need not be.
        QCOMPARE(QString::fromStdString(frame::toHex(frame::compose({body.begin(), body.end() - 1}))), text);
    }
    QCOMPARE(next, 0x8000);
    QCOMPARE(seen, gaps);
}

void TablesTest::toolBuildsTablesOnlyFromAnImageFitForTheUnit_data()
{
    // Each bad sample breaks one rule; the message names its line, address and
    // reason. The good one has segment and linear addressing, a unit split over
    // two records, a record given twice alike and an ignored start address.
    QTest::addColumn<QString>("sample");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("fragments"); // in order, of the message or of the table written
    QTest::newRow("a record with a bad checksum") << "bad-checksum.hex" << 1 << "line 2:|0x0810|checksum";
    QTest::newRow("a digit that is not hex") << "non-hex-digit.hex" << 1 << "line 3:|0x0820|hex digit";
    QTest::newRow("a record of unknown type") << "unknown-record-type.hex" << 1 << "line 2:|0x0810|type";
    QTest::newRow("an image cut short before its end record") << "missing-eof.hex" << 1 << "line 2:|end-of-file|0x0810";
    QTest::newRow("data reaching below 0x0800") << "below-bootloader-limit.hex" << 1 << "line 1:|0x07F8|bootloader";
    QTest::newRow("one byte at 0x07FF, the bootloader's last") << "at-07ff.hex" << 1 << "line 2:|0x07FF|bootloader";
    QTest::newRow("data at 0x8000 past program memory") << "at-8000.hex" << 1 << "line 2:|0x8000|bootloader";
    QTest::newRow("a write unit only partly filled") << "partly-filled-unit.hex" << 1 << "line 2:|0x0810|partly";
    QTest::newRow("a byte given twice with different values")
        << "conflicting-byte.hex" << 1 << "line 2:|0x080F|different value";
    QTest::newRow("a unit needing too many escapes") << "too-many-escapes.hex" << 1 << "line 2:|0x0810|58 hex digits";
    QTest::newRow("an image with no data at all") << "no-data.hex" << 1 << "no data";
    QTest::newRow("an end-of-file record carrying data") << "eof-with-data.hex" << 1 << "line 2:|0x0000|carries data";
    QTest::newRow("a record after the end-of-file record")
        << "record-after-eof.hex" << 1 << "line 3:|after the end-of-file";
    QTest::newRow("a record longer than its length field")
        << "length-mismatch.hex" << 1 << "line 2:|0x0810|says 16 data bytes, record holds 17";
    QTest::newRow("an extended address record of three bytes")
        << "extended-address-length.hex" << 1 << "line 1:|extended linear address|2 bytes";
    QTest::newRow("an odd number of hex digits") << "odd-digit-count.hex" << 1 << "line 2:|0x0810|odd number";
    QTest::newRow("a good image gives all erase entries and its two units in order")
        << "valid.hex" << 0
        << "\"0F0F0301C07F00BD04\"|ErasePacketCount = "
           "480;|ProgramPackets[]|\"0F0F0202000800101112131415161718191A1B1C1D1E1F7C04\""
           "|\"0F0F0202006A00202122232425262728292A2B2C2D2E2F1A04\"|ProgramPacketCount = 2;";
}

void TablesTest::toolBuildsTablesOnlyFromAnImageFitForTheUnit()
{
    QFETCH(QString, sample);
    QFETCH(int, exitCode);
    QFETCH(QString, fragments);
    QTemporaryDir dir;
    QFile out(dir.filePath(QStringLiteral("packets.cpp")));
    // A table left from an earlier image must not survive a bad one.
    QVERIFY(out.open(QIODevice::WriteOnly) && out.write("stale") == 5);
    out.close();
    QProcess tool;
    tool.start(QStringLiteral(AXR574_TABLEGEN), {QStringLiteral(AXR574_TESTDATA "/hex/") + sample, out.fileName()});
    QVERIFY(tool.waitForFinished(-1) && tool.exitStatus() == QProcess::NormalExit);
    QCOMPARE(tool.exitCode(), exitCode);
    QCOMPARE(out.exists(), exitCode == 0);
    const QString said
        = QString::fromLocal8Bit(out.open(QIODevice::ReadOnly) ? out.readAll() : tool.readAllStandardError());
    qsizetype at = 0;
    for (const QString &fragment : fragments.split(u'|'))
        QVERIFY2((at = said.indexOf(fragment, at)) >= 0, qPrintable(fragment + QLatin1String(" in ") + said));
}

QTEST_GUILESS_MAIN(TablesTest)
#include "tst_tables.moc"
