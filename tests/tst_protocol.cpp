#include "ports.h"
#include "protocol.h"

#include <QtTest>

#include <cmath>
#include <limits>

using protocol::Command;

// The bytes of the instrument's protocol: requests, the number encoding and replies.
class TestProtocol : public QObject
{
    Q_OBJECT

private slots:
    void requests_data()
    {
        QTest::addColumn<int>("command");
        QTest::addColumn<QVector<float>>("payload");
        QTest::addColumn<QByteArray>("bytes");

        QTest::newRow("read voltage") << int(Command::ReadVoltage) << QVector<float>() << QByteArray::fromHex("0100");
        QTest::newRow("read temperature") << int(Command::ReadTemperature) << QVector<float>() << QByteArray::fromHex("0200");
        QTest::newRow("read ADC") << int(Command::ReadAdc) << QVector<float>() << QByteArray::fromHex("0600");
        QTest::newRow("read DAC") << int(Command::ReadDac) << QVector<float>() << QByteArray::fromHex("0800");
        QTest::newRow("read table") << int(Command::ReadTable) << QVector<float>() << QByteArray::fromHex("0a00");
        QTest::newRow("write ADC 1, 0.5") << int(Command::WriteAdc) << QVector<float>{1.0f, 0.5f}
                                          << QByteArray::fromHex("07000000803f0000003f");
        QTest::newRow("write DAC 300, -2") << int(Command::WriteDac) << QVector<float>{300.0f, -2.0f}
                                           << QByteArray::fromHex("090000009643000000c0");
        QTest::newRow("commit is the code alone") << int(Command::CommitEeprom) << QVector<float>()
                                                  << QByteArray::fromHex("0c");
    }

    void requests()
    {
        QFETCH(int, command);
        QFETCH(QVector<float>, payload);
        QFETCH(QByteArray, bytes);
        QCOMPARE(protocol::request(Command(command), payload).toHex(' '), bytes.toHex(' '));
        // A server frames a client's requests by the length the code fixes.
        QCOMPARE(protocol::commandOf(quint8(command)), std::optional<Command>(Command(command)));
        QCOMPARE(protocol::requestLength(Command(command)), bytes.size());
    }

    void tableRequestLayout()
    {
        QVector<QPair<float, float>> rows(protocol::TableRows, {0.0f, 0.0f});
        QCOMPARE(protocol::tableRequest(rows), QByteArray::fromHex("0b00") + QByteArray(800, '\0'));

        rows[0] = {1.0f, 300.0f};
        rows[99] = {0.5f, 1.0f};
        const QByteArray bytes = protocol::tableRequest(rows);
        QCOMPARE(bytes.size(), 802);
        // Row r's voltage sits at 2 + 8r, its temperature at 6 + 8r.
        QCOMPARE(bytes.mid(2, 8), QByteArray::fromHex("0000803f00009643"));
        QCOMPARE(bytes.mid(2 + 8 * 99, 8), QByteArray::fromHex("0000003f0000803f"));
        QCOMPARE(bytes.mid(10, 784), QByteArray(784, '\0'));
    }

    void decoding_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<float>("value");
        QTest::newRow("300") << QByteArray::fromHex("00009643") << 300.0f;
        QTest::newRow("1") << QByteArray::fromHex("0000803f") << 1.0f;
        QTest::newRow("0") << QByteArray::fromHex("00000000") << 0.0f;
        QTest::newRow("-2") << QByteArray::fromHex("000000c0") << -2.0f;
        QTest::newRow("273.15") << QByteArray::fromHex("33938843") << 273.15f;
    }

    void decoding()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(float, value);
        const QVector<float> values = protocol::decodeFloats(bytes, 1);
        QCOMPARE(values.size(), 1);
        QCOMPARE(values.at(0), value);
        QByteArray encoded;
        protocol::appendFloat(encoded, value);
        QCOMPARE(encoded, bytes);
    }

    void decodingTakesTheFrontAndNeedsEnoughBytes()
    {
        const QByteArray eight = QByteArray::fromHex("0000803f0000003f");
        QCOMPARE(protocol::decodeFloats(eight, 1), QVector<float>{1.0f});
        QCOMPARE(protocol::decodeFloats(eight, 2), (QVector<float>{1.0f, 0.5f}));
        QVERIFY(protocol::decodeFloats(eight.left(7), 2).isEmpty());
    }

    void nonFiniteValuesKeepTheirBits()
    {
        QByteArray bytes;
        protocol::appendFloat(bytes, std::numeric_limits<float>::infinity());
        protocol::appendFloat(bytes, std::numeric_limits<float>::quiet_NaN());
        QCOMPARE(bytes.left(4), QByteArray::fromHex("0000807f"));
        const QVector<float> back = protocol::decodeFloats(bytes, 2);
        QVERIFY(std::isinf(back.at(0)));
        QVERIFY(std::isnan(back.at(1)));
    }

    void replyLengths_data()
    {
        QTest::addColumn<int>("command");
        QTest::addColumn<int>("length");
        QTest::newRow("voltage") << int(Command::ReadVoltage) << 4;
        QTest::newRow("temperature") << int(Command::ReadTemperature) << 4;
        QTest::newRow("ADC") << int(Command::ReadAdc) << 8;
        QTest::newRow("DAC") << int(Command::ReadDac) << 8;
        QTest::newRow("table") << int(Command::ReadTable) << 800;
        QTest::newRow("write ADC") << int(Command::WriteAdc) << 0;
        QTest::newRow("commit") << int(Command::CommitEeprom) << 0;
    }

    void replyLengths()
    {
        QFETCH(int, command);
        QFETCH(int, length);
        QCOMPARE(protocol::replyLength(Command(command)), length);
    }

    // What a server says goes into a message as one printable line of bounded length.
    void printableLine_data()
    {
        QTest::addColumn<QByteArray>("said");
        QTest::addColumn<int>("maxChars");
        QTest::addColumn<QString>("line");
        QTest::newRow("line ends and tabs become spaces") << QByteArray("\r\nport\tbusy\r\n\r\nbye\r\n") << 40
                                                         << QStringLiteral("port busy bye");
        QTest::newRow("control characters marked") << QByteArray("\x1b[2Jbusy\x07\0\x7f\x9b", 12) << 40
                                                   << QStringLiteral("?[2Jbusy????");
        QTest::newRow("Latin-1 letters kept") << QByteArray("K\xf6ln") << 40 << QStringLiteral("K\u00f6ln");
        QTest::newRow("cut with an ellipsis") << QByteArray("0123456789") << 4 << QStringLiteral("0123\u2026");
        QTest::newRow("cut after a space") << QByteArray("ab cd") << 3 << QStringLiteral("ab\u2026");
        QTest::newRow("just fits") << QByteArray("abcd") << 4 << QStringLiteral("abcd");
    }

    void printableLine()
    {
        QFETCH(QByteArray, said);
        QFETCH(int, maxChars);
        QFETCH(QString, line);
        QCOMPARE(ports::printableLine(said, maxChars), line);
    }

    void tableRowsKeepVoltageFirst()
    {
        const auto rows = protocol::decodeTable({1.5f, 77.35f, 0.25f, 300.0f});
        QCOMPARE(rows.size(), 2);
        QCOMPARE(rows[0], qMakePair(1.5f, 77.35f));
        QCOMPARE(rows[1], qMakePair(0.25f, 300.0f));
    }
};

QTEST_GUILESS_MAIN(TestProtocol)
#include "tst_protocol.moc"
