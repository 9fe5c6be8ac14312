#include "firmware.h"
#include "instrument.h"
#include "protocol.h"

#include <QtTest>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

using protocol::Command;

namespace {

QByteArray concatenatedReplies(const QVector<sim::Firmware::Handled> &handled)
{
    QByteArray replies;
    for (const auto &one : handled)
        replies += one.reply;
    return replies;
}

// Reads from a raw terminal until `length` bytes arrived or the time is up.
QByteArray readFrom(int fd, int length, int timeoutMs)
{
    QByteArray bytes;
    QElapsedTimer clock;
    clock.start();
    while (bytes.size() < length && clock.elapsed() < timeoutMs) {
        pollfd in{fd, POLLIN, 0};
        if (::poll(&in, 1, int(timeoutMs - clock.elapsed())) <= 0)
            break;
        char buffer[1024];
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got <= 0)
            break;
        bytes.append(buffer, int(got));
    }
    return bytes;
}

} // namespace

// The simulated instrument that every device test relies on: its firmware and its terminal.
class TestSim : public QObject
{
    Q_OBJECT

private slots:
    // However the stream is cut, the same requests come out.
    void requestsArriveSplitOrJoined_data()
    {
        QTest::addColumn<int>("pieceSize");
        QTest::newRow("all at once") << 100000;
        QTest::newRow("byte by byte") << 1;
        QTest::newRow("USB packets") << 64;
        QTest::newRow("odd pieces") << 7;
    }

    void requestsArriveSplitOrJoined()
    {
        QFETCH(int, pieceSize);
        QVector<QPair<float, float>> rows(protocol::TableRows, {0.5f, 300.0f});
        const QByteArray stream = protocol::request(Command::WriteAdc, {2.0f, -1.0f})
            + protocol::tableRequest(rows) + protocol::request(Command::ReadAdc)
            + protocol::request(Command::CommitEeprom) + protocol::request(Command::ReadVoltage);

        sim::Firmware firmware;
        firmware.voltage = 1.5f;
        QVector<sim::Firmware::Handled> handled;
        for (int at = 0; at < stream.size(); at += pieceSize)
            handled += firmware.feed(stream.mid(at, pieceSize), at);

        QCOMPARE(handled.size(), 5);
        QCOMPARE(handled[1].request.bytes.size(), 802);
        QCOMPARE(handled[2].reply, QByteArray::fromHex("00000040000080bf"));
        QCOMPARE(handled[4].reply, QByteArray::fromHex("0000c03f"));
        QCOMPARE(firmware.constants.table[99], std::make_pair(0.5f, 300.0f));
        QCOMPARE(firmware.eeprom, firmware.constants);
    }

    void strayBytesAreSkipped()
    {
        sim::Firmware firmware;
        const auto handled = firmware.feed(QByteArray::fromHex("ff55") + protocol::request(Command::ReadDac), 0);
        QCOMPARE(handled.size(), 3);
        QCOMPARE(handled[0].request.bytes, QByteArray::fromHex("ff"));
        QVERIFY(handled[0].reply.isEmpty());
        QCOMPARE(concatenatedReplies(handled), QByteArray::fromHex("0000803f00000000"));
    }

    void commitCopiesToEepromOnlyOnRequest()
    {
        sim::Firmware firmware;
        const sim::Constants factory = firmware.eeprom;
        firmware.feed(protocol::request(Command::WriteDac, {3.0f, 4.0f}), 0);
        QCOMPARE(firmware.eeprom, factory);
        firmware.feed(protocol::request(Command::CommitEeprom), 0);
        QCOMPARE(firmware.eeprom.dacSlope, 3.0f);
        QCOMPARE(firmware.eeprom.dacIntercept, 4.0f);
    }

    void storeFaultsGarbleTheTable_data()
    {
        QTest::addColumn<int>("corruptRow");
        QTest::addColumn<int>("dropLastRows");
        QTest::addColumn<int>("firstWrongRow");
        QTest::newRow("one point") << 11 << 0 << 11;
        QTest::newRow("last rows lost") << -1 << 3 << 97;
    }

    void storeFaultsGarbleTheTable()
    {
        QFETCH(int, corruptRow);
        QFETCH(int, dropLastRows);
        QFETCH(int, firstWrongRow);
        sim::Firmware firmware;
        firmware.storeFaults.corruptRow = corruptRow;
        firmware.storeFaults.corruptColumn = 1;
        firmware.storeFaults.corruptValue = -7.0f;
        firmware.storeFaults.dropLastRows = dropLastRows;
        QVector<QPair<float, float>> rows;
        for (int row = 0; row < protocol::TableRows; ++row)
            rows.append({1.0f, float(row + 1)});
        firmware.feed(protocol::tableRequest(rows), 0);
        for (int row = 0; row < protocol::TableRows; ++row) {
            const bool stored = firmware.constants.table[size_t(row)].second == float(row + 1);
            QCOMPARE(stored, row < firstWrongRow || (corruptRow >= 0 && row > corruptRow));
        }
    }

    // The host on a real terminal: replies, faults, and the record of requests.
    void servesOverATerminal()
    {
        sim::Instrument instrument;
        QString error;
        QVERIFY2(instrument.start(&error), qPrintable(error));
        const int fd = ::open(instrument.portName().toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
        QVERIFY(fd >= 0);
        termios raw{};
        ::tcgetattr(fd, &raw);
        ::cfmakeraw(&raw);
        ::tcsetattr(fd, TCSANOW, &raw);

        sim::Faults faults;
        faults.chunkSize = 64;
        faults.chunkGapUs = 1000;
        faults.trailingBytes = QByteArray::fromHex("aa");
        faults.afterWrite = QByteArray::fromHex("55");
        instrument.setFaults(faults);

        const qint64 before = sim::Instrument::nowNs();
        const QByteArray read = protocol::request(Command::ReadTable);
        QCOMPARE(::write(fd, read.constData(), size_t(read.size())), ssize_t(read.size()));
        const QByteArray reply = readFrom(fd, 801, 2000);
        QCOMPARE(reply.size(), 801);
        QCOMPARE(reply.right(1), QByteArray::fromHex("aa"));

        const QByteArray commit = protocol::request(Command::CommitEeprom);
        QCOMPARE(::write(fd, commit.constData(), 1), ssize_t(1));
        QCOMPARE(readFrom(fd, 1, 2000), QByteArray::fromHex("55"));

        QVERIFY(instrument.waitForRequests(2, 2000));
        const auto requests = instrument.requests();
        QCOMPARE(requests.size(), 2);
        QCOMPARE(requests[0].bytes, read);
        QVERIFY(requests[0].receivedNs >= before);
        QVERIFY(requests[1].receivedNs >= requests[0].receivedNs);

        instrument.unplug();
        QVERIFY(!instrument.isPlugged());
        ::close(fd);

        // As after a real unplug the name is gone for good, and no terminal opened meanwhile
        // takes it over from under a program that still holds it.
        const QString unplugged = instrument.portName();
        // (The serving thread lets go of the terminal as soon as it wakes.)
        QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(unplugged), 5000);
        sim::Instrument next;
        QVERIFY(next.start());
        QVERIFY2(next.portName() != unplugged, qPrintable(unplugged));
        QVERIFY(instrument.replug());
        QVERIFY(instrument.portName() != unplugged);
        QVERIFY(instrument.portName() != next.portName());
    }
};

QTEST_GUILESS_MAIN(TestSim)
#include "tst_sim.moc"
