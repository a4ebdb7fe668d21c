// The frame codec: conversion of packet texts, composing and checking frames.
#include "link/codec.h"
#include "link/frame.h"

#include <QtTest>

class tst_frame : public QObject
{
    Q_OBJECT

private slots:
    void packetTextConvertsPairByPairAndMalformedTextGivesDefinedBytes_data();
    void packetTextConvertsPairByPairAndMalformedTextGivesDefinedBytes();
    void checkerRefusesBrokenFrames_data();
    void checkerRefusesBrokenFrames();
    void frameIsFoundInNoisyStream();
};

void tst_frame::packetTextConvertsPairByPairAndMalformedTextGivesDefinedBytes_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("version read") << "0F0F0001FF04" << QByteArray::fromHex("0F0F0001FF04");
    QTest::newRow("lower case digits") << "0f0fabcdef04" << QByteArray::fromHex("0F0FABCDEF04");
    QTest::newRow("wake frame is not a frame")
        << "000000000000000000000000000000000000FEFE3300424C3FFD"
        << QByteArray::fromHex("000000000000000000000000000000000000FEFE3300424C3FFD");
    QTest::newRow("empty") << "" << QByteArray();
    QTest::newRow("single digit") << "F" << QByteArray();
    QTest::newRow("odd trailing digit dropped") << "0F0F0" << QByteArray::fromHex("0F0F");
    QTest::newRow("non-hex first digit reads as nothing") << "G1" << QByteArray(1, '\0');
    QTest::newRow("non-hex second digit stops the pair") << "1G" << QByteArray(1, '\x01');
    QTest::newRow("non-Latin characters") << QString::fromUtf8("\u00e9\u4e2d0F") << QByteArray::fromHex("000F");
}

void tst_frame::packetTextConvertsPairByPairAndMalformedTextGivesDefinedBytes()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);
    QCOMPARE(aStringToHex(text), bytes);
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
