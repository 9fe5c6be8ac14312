#include "commandset.h"
#include "scpi.h"
#include "status.h"

#include <QtTest>

namespace {

const QString Identity = QStringLiteral("thermocal-test,device,T-1,1.0");

// A device of one setting beside the common commands: SETting (SET) writes it (a write, one
// number), SETting? reads it, LAST? answers only once something was set, and *TST? fails
// with `selfTestFailure` when one is given.
class Device
{
public:
    explicit Device(const QString &selfTestFailure = QString())
        : m_commands(scpi::commonRows(Identity, [selfTestFailure] { return selfTestFailure; }))
    {
        using scpi::Access;
        using scpi::Parameters;
        m_commands.add({
            {QStringLiteral("SETting"), Parameters::Required, Access::Write,
             [this](const scpi::Command &command, scpi::Status &status) -> scpi::Reply {
                 scpi::Error problem;
                 if (const std::optional<double> value = scpi::numberOf(command.arguments.first(), &problem))
                     m_setting = *value;
                 else
                     status.push(problem);
                 m_set = true;
                 return std::nullopt;
             },
             QStringLiteral("a setting")},
            {QStringLiteral("SETting?"), Parameters::None, Access::Read,
             [this](const scpi::Command &, scpi::Status &) -> scpi::Reply { return QString::number(m_setting); }},
            {QStringLiteral("LAST?"), Parameters::None, Access::Read,
             [this](const scpi::Command &command, scpi::Status &status) -> scpi::Reply {
                 if (!m_set) {
                     status.push(scpi::hardwareError(command.header));
                     return std::nullopt;
                 }
                 return QStringLiteral("set");
             }},
        });
    }

    QString line(const QString &text, bool mayWrite) { return m_commands.handle(text, status, mayWrite); }

    scpi::Status status;

private:
    scpi::CommandSet m_commands;
    double m_setting = 0.0;
    bool m_set = false;
};

} // namespace

// The SCPI library on its own: the parser, the error queue, the table's decisions and the
// IEEE 488.2 status of one client, on a device made up for the test.
class TestScpi : public QObject
{
    Q_OBJECT

private slots:
    void headers_data()
    {
        QTest::addColumn<QString>("header");
        QTest::addColumn<QString>("pattern");
        QTest::addColumn<bool>("matches");
        QTest::newRow("long") << "MEASure:TEMPerature?" << "MEASure:TEMPerature?" << true;
        QTest::newRow("short") << "MEAS:TEMP?" << "MEASure:TEMPerature?" << true;
        QTest::newRow("any case") << "meas:Temperature?" << "MEASure:TEMPerature?" << true;
        QTest::newRow("neither form") << "MEASU:TEMP?" << "MEASure:TEMPerature?" << false;
        QTest::newRow("a query is not the command") << "CAL:ADC?" << "CALibration:ADC" << false;
        QTest::newRow("common command") << "*idn?" << "*IDN?" << true;
        QTest::newRow("a node short") << "CAL" << "CALibration:SAVE" << false;
    }

    void headers()
    {
        QFETCH(QString, header);
        QFETCH(QString, pattern);
        QFETCH(bool, matches);
        QCOMPARE(scpi::matches(header, pattern), matches);
    }

    // A program message into its commands: headers without a leading colon, arguments split
    // at commas and trimmed, empty commands skipped.
    void parse_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QStringList>("commands");  // header, " query" for a query, then |argument...
        QTest::newRow("compound") << "MEAS:TEMP?; :meas:volt?" << QStringList{"MEAS:TEMP? query", "meas:volt? query"};
        QTest::newRow("arguments") << "CAL:ADC  2.5 , -0.125" << QStringList{"CAL:ADC|2.5|-0.125"};
        QTest::newRow("an empty argument kept") << "CAL:ADC 1,,2" << QStringList{"CAL:ADC|1||2"};
        QTest::newRow("empty commands skipped") << ";;*CLS;  ;*OPC?;" << QStringList{"*CLS", "*OPC? query"};
        QTest::newRow("a tab before the arguments") << "SOUR:SPO\t20" << QStringList{"SOUR:SPO|20"};
        QTest::newRow("nothing") << "   " << QStringList{};
    }

    void parse()
    {
        QFETCH(QString, line);
        QFETCH(QStringList, commands);
        QStringList got;
        for (const scpi::Command &command : scpi::parse(line)) {
            QString text = command.header + (command.query ? QStringLiteral(" query") : QString());
            for (const QString &argument : command.arguments)
                text += QLatin1Char('|') + argument;
            got.append(text);
        }
        QCOMPARE(got, commands);
    }

    // What the table decides before any handler runs, and what the common commands do with a
    // client's status. Each line's reply; `mayWrite`: the client's right to write.
    void table_data()
    {
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<QStringList>("replies");
        QTest::addColumn<bool>("mayWrite");
        QTest::newRow("both forms, any case") << QStringList{"SET 2.5;setting?", "SETTING?;*idn?"}
                                              << QStringList{"2.5", "2.5;" + Identity} << true;
        QTest::newRow("a write without the right: protected, not run")
            << QStringList{"SET 2.5", "SYST:ERR?;SET?"} << QStringList{"", "-203,\"Command protected\";0"} << false;
        QTest::newRow("protected before its parameters are looked at")
            << QStringList{"SET;SYST:ERR?;SYST:ERR?"} << QStringList{"-203,\"Command protected\";0,\"No error\""} << false;
        QTest::newRow("a missing parameter, with what was due") << QStringList{"SET;SYST:ERR?;LAST?;SYST:ERR?"}
                                                                << QStringList{"-109,\"Missing parameter;a setting\";-240,\"Hardware error;LAST?\""} << true;
        QTest::newRow("a parameter on a query that takes none: no reply")
            << QStringList{"SET? 5;SYST:ERR?"} << QStringList{"-108,\"Parameter not allowed;SET?\""} << true;
        QTest::newRow("a parameter on a command that takes none") << QStringList{"*CLS 1;*OPC 1;*ESR?;SYST:ERR?"}
                                                                  << QStringList{"32;-108,\"Parameter not allowed;*CLS\""} << true;
        QTest::newRow("an undefined header, with a parameter or without")
            << QStringList{"FOO 5;BAR?", "SYST:ERR:COUN?;SYST:ERR?;SYST:ERR:NEXT?"}
            << QStringList{"", "2;-113,\"Undefined header;FOO\";-113,\"Undefined header;BAR?\""} << true;
        QTest::newRow("a query that declined gives no reply, the others theirs")
            << QStringList{"SET?;LAST?;*OPC?"} << QStringList{"0;1"} << true;
        QTest::newRow("a handler's own error") << QStringList{"SET abc;SYST:ERR?;LAST?"}
                                               << QStringList{"-104,\"Data type error;'abc' is not a number\";set"} << true;
        // IEEE 488.2: *RST leaves the error queue, the event register and the enables alone.
        QTest::newRow("*RST keeps the queue, the register and the enables")
            << QStringList{"FOO;*ESE 36;*SRE 4", "*RST;*ESE?;*SRE?;SYST:ERR:COUN?;*ESR?"} << QStringList{"", "36;4;1;32"} << true;
        QTest::newRow("*CLS clears the queue and the register, not the enables")
            << QStringList{"FOO;*OPC;*ESE 36;*SRE 4", "*CLS;SYST:ERR:COUN?;*ESR?;*ESE?;*SRE?"} << QStringList{"", "0;0;36;4"} << true;
        QTest::newRow("*ESR? clears what it read") << QStringList{"FOO;SET? 1;*OPC;*ESR?;*ESR?"} << QStringList{"33;0"} << true;
        QTest::newRow("the summary bit cannot be enabled") << QStringList{"*SRE 255;*SRE?"} << QStringList{"191"} << true;
        QTest::newRow("the status byte's summary") << QStringList{"*STB?", "FOO;*STB?", "*SRE 4;*STB?", "SYST:ERR?;*STB?"}
                                                   << QStringList{"0", "4", "68", "-113,\"Undefined header;FOO\";0"} << true;
        QTest::newRow("*TST? passes") << QStringList{"*TST?;SYST:ERR:COUN?"} << QStringList{"0;0"} << true;
        QTest::newRow("register values checked") << QStringList{"*SRE 1,2;*SRE -1;*SRE 2.6;*SRE?;SYST:ERR?;SYST:ERR?"}
                                                 << QStringList{"3;-108,\"Parameter not allowed;one register value\";-222,\"Data out of range;a register value from 0 to 255\""}
                                                 << true;
        QTest::newRow("the version") << QStringList{"SYST:VERS?"} << QStringList{"1999.0"} << false;
    }

    void table()
    {
        QFETCH(QStringList, lines);
        QFETCH(QStringList, replies);
        QFETCH(bool, mayWrite);
        Device device;
        QStringList got;
        for (const QString &line : lines)
            got.append(device.line(line, mayWrite));
        QCOMPARE(got, replies);
    }

    // A failed self-test answers 1 and says why in the queue, as a device-dependent error.
    void selfTestFails()
    {
        Device device(QStringLiteral("the sensor is open"));
        QCOMPARE(device.line(QStringLiteral("*TST?;*ESR?;SYST:ERR?"), false),
                 QStringLiteral("1;8;-330,\"Self-test failed;the sensor is open\""));
    }

    // The error queue keeps the oldest errors and says when it overflowed.
    void errorQueueOverflows()
    {
        scpi::ErrorQueue queue;
        for (int index = 0; index < scpi::ErrorQueue::Capacity + 5; ++index)
            queue.push(scpi::undefinedHeader(QString::number(index)));
        QCOMPARE(queue.size(), scpi::ErrorQueue::Capacity);
        QCOMPARE(queue.pop().detail, QStringLiteral("0"));
        for (int index = 1; index < scpi::ErrorQueue::Capacity - 1; ++index)
            queue.pop();
        QCOMPARE(queue.pop().reply(), QStringLiteral("-350,\"Queue overflow\""));
        QCOMPARE(queue.pop().reply(), QStringLiteral("0,\"No error\""));
    }

    // An error's reply doubles the quotes in its text.
    void quotesDoubled()
    {
        QCOMPARE(scpi::undefinedHeader(QStringLiteral("SAY \"HI\"")).reply(),
                 QStringLiteral("-113,\"Undefined header;SAY \"\"HI\"\"\""));
    }

    void notANumber_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("notANumber");
        QTest::newRow("as the server writes it") << QString(scpi::NotANumber) << true;
        QTest::newRow("with more digits") << "+9.910000E+37" << true;
        QTest::newRow("negative") << "-9.91E37" << false;
        QTest::newRow("a large number") << "9.9E37" << false;
        QTest::newRow("zero") << "0" << false;
    }

    void notANumber()
    {
        QFETCH(QString, text);
        QFETCH(bool, notANumber);
        QCOMPARE(scpi::isNotANumber(text.toDouble()), notANumber);
    }
};

QTEST_GUILESS_MAIN(TestScpi)
#include "tst_scpi.moc"
