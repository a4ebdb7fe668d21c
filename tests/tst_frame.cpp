// The frame codec: conversion of packet texts, composing and checking frames.
#include "link/codec.h"
#include "link/frame.h"

#include <QtTest>

class tst_frame : public QObject
{
    Q_OBJECT

private slots:
    void packetTextConvertsPairByPair_data();
    void packetTextConvertsPairByPair();
    void malformedPacketTextGivesDefinedBytes_data();
    void malformedPacketTextGivesDefinedBytes();
    void composedFramesMatchTheStoredTexts_data();
    void composedFramesMatchTheStoredTexts();
    void everyCommandRoundTripsThroughTheChecker();
    void checkerRefusesBrokenFrames_data();
    void checkerRefusesBrokenFrames();
    void frameIsFoundInNoisyStream();
};

void tst_frame::packetTextConvertsPairByPair_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("version read") << "0F0F0001FF04" << QByteArray::fromHex("0F0F0001FF04");
    QTest::newRow("escaped address byte") << "0F0F030100050F00ED04" << QByteArray::fromHex("0F0F030100050F00ED04");
    QTest::newRow("escaped checksum before end")
        << "0F0F0301C03800050404" << QByteArray::fromHex("0F0F0301C03800050404");
    QTest::newRow("lower case digits") << "0f0fabcdef04" << QByteArray::fromHex("0F0FABCDEF04");
    QTest::newRow("wake frame is not a frame")
        << "000000000000000000000000000000000000FEFE3300424C3FFD"
        << QByteArray::fromHex("000000000000000000000000000000000000FEFE3300424C3FFD");
}

void tst_frame::packetTextConvertsPairByPair()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);
    QCOMPARE(aStringToHex(text), bytes);
}

void tst_frame::malformedPacketTextGivesDefinedBytes_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("empty") << "" << QByteArray();
    QTest::newRow("single digit") << "F" << QByteArray();
    QTest::newRow("odd trailing digit dropped") << "0F0F0" << QByteArray::fromHex("0F0F");
    QTest::newRow("non-hex first digit reads as nothing") << "G1" << QByteArray(1, '\0');
    QTest::newRow("non-hex second digit stops the pair") << "1G" << QByteArray(1, '\x01');
    QTest::newRow("non-Latin characters") << QString::fromUtf8("\u00e9\u4e2d0F") << QByteArray::fromHex("000F");
}

void tst_frame::malformedPacketTextGivesDefinedBytes()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);
    QCOMPARE(aStringToHex(text), bytes);
}

void tst_frame::composedFramesMatchTheStoredTexts_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("text");
    QTest::newRow("version read") << QByteArray::fromHex("0001") << "0F0F0001FF04";
    QTest::newRow("blank check") << QByteArray::fromHex("0A02000800") << "0F0F0A02000800EC04";
    QTest::newRow("verify") << QByteArray::fromHex("0A01000800") << "0F0F0A01000800ED04";
    QTest::newRow("reset defaults") << QByteArray::fromHex("0B01160800") << "0F0F0B01160800D604";
    QTest::newRow("finish") << QByteArray::fromHex("080100000014") << "0F0F080100000014E304";
    QTest::newRow("first erase") << QByteArray::fromHex("0301000800") << "0F0F0301000800F404";
    QTest::newRow("address byte escaped") << QByteArray::fromHex("0301000F00") << "0F0F030100050F00ED04";
    QTest::newRow("checksum 0x0F escaped") << QByteArray::fromHex("0301C02D00") << "0F0F0301C02D00050F04";
    QTest::newRow("checksum 0x04 escaped") << QByteArray::fromHex("0301C03800") << "0F0F0301C03800050404";
    QTest::newRow("checksum 0x05 escaped") << QByteArray::fromHex("0301C03700") << "0F0F0301C03700050504";
}

void tst_frame::composedFramesMatchTheStoredTexts()
{
    QFETCH(QByteArray, body);
    QFETCH(QString, text);
    const frame::Bytes wire = frame::compose(frame::Bytes(body.begin(), body.end()));
    QCOMPARE(QString::fromStdString(frame::toHex(wire)), text);
}

void tst_frame::everyCommandRoundTripsThroughTheChecker()
{
    // Every command with every value of one field byte, so each escape case
    // (in the fields and in the checksum) passes through compose and check.
    const frame::Bytes heads[]
        = {{0x00, 0x01}, {0x03, 0x01}, {0x02, 0x02}, {0x0A, 0x02}, {0x0A, 0x01}, {0x0B, 0x01}, {0x08, 0x01}};
    for (const frame::Bytes &head : heads) {
        for (int v = 0; v < 256; ++v) {
            frame::Bytes body = head;
            body.insert(body.end(), {std::uint8_t(v), 0x08, 0x00});
            const frame::Bytes wire = frame::compose(body);
            const auto checked = frame::check(wire);
            QVERIFY2(checked.has_value(), frame::toHex(wire).c_str());
            QCOMPARE(checked->size(), body.size() + 1);
            QVERIFY(std::equal(body.begin(), body.end(), checked->begin()));
            QCOMPARE(frame::fromHex(frame::toHex(wire)), wire);
        }
    }
}

void tst_frame::checkerRefusesBrokenFrames_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("bad checksum") << "0F0F0001FE04";
    QTest::newRow("missing end") << "0F0F0001FF";
    QTest::newRow("one start byte") << "0F0001FF04";
    QTest::newRow("unescaped 0x0F inside") << "0F0F03010F0800E504";
    QTest::newRow("escape before an ordinary byte") << "0F0F0305010800F404";
    QTest::newRow("escape with nothing after it") << "0F0F0001FF0504";
    QTest::newRow("too short") << "0F0F04";
}

void tst_frame::checkerRefusesBrokenFrames()
{
    QFETCH(QString, text);
    QVERIFY(!frame::check(frame::fromHex(text.toStdString())).has_value());
}

void tst_frame::frameIsFoundInNoisyStream()
{
    frame::Bytes stream = frame::fromHex("0000FEFE0F0F030100050F00ED040F0F00");
    frame::Bytes wire;
    const std::size_t used = frame::findFrame(stream, wire);
    QCOMPARE(used, std::size_t(14));
    QCOMPARE(frame::toHex(wire), std::string("0F0F030100050F00ED04"));
    stream.erase(stream.begin(), stream.begin() + used);
    QCOMPARE(frame::findFrame(stream, wire), std::size_t(0)); // an unfinished frame waits for more
}

QTEST_APPLESS_MAIN(tst_frame)
#include "tst_frame.moc"
