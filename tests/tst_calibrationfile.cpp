#include "calibrationfile.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <limits>
#ifndef Q_OS_WIN
#include <sys/resource.h>
#include <unistd.h>
#endif

using namespace calibrationfile;
using Table = QVector<QPair<double, double>>;

Q_DECLARE_METATYPE(CalibrationSet)
Q_DECLARE_METATYPE(calibrationfile::SaveStatus)
Q_DECLARE_METATYPE(calibrationfile::LoadStatus)

namespace calibrationfile {
// Readable failure output for QCOMPARE, found by argument-dependent lookup.
char *toString(SaveStatus status)
{
    const char *names[] = {"Saved", "OpenFailed", "WriteFailed"};
    return qstrdup(names[int(status)]);
}
char *toString(LoadStatus status)
{
    const char *names[] = {"Loaded", "OpenFailed", "NotCalibrationFile"};
    return qstrdup(names[int(status)]);
}
} // namespace calibrationfile

// Every number of a set, constants first, so that one QCOMPARE checks a whole set exactly
// (QCOMPARE on two doubles alone would forgive a difference in the last digits).
static QVector<double> numbers(const CalibrationSet &set)
{
    QVector<double> values{set.adcSlope, set.adcIntercept, set.dacSlope, set.dacIntercept};
    for (const auto &row : set.table)
        values << row.first << row.second;
    return values;
}

char *toString(const QVector<double> &values)
{
    QByteArrayList texts;
    for (double value : values)
        texts << QByteArray::number(value, 'g', 17);
    return qstrdup("[" + texts.join(", ") + "]");
}

static CalibrationSet makeSet(double adcSlope, double adcIntercept, double dacSlope,
                              double dacIntercept, const Table &table)
{
    CalibrationSet set;
    set.adcSlope = adcSlope;
    set.adcIntercept = adcIntercept;
    set.dacSlope = dacSlope;
    set.dacIntercept = dacIntercept;
    set.table = table;
    return set;
}

static Table zeroRows(int count)
{
    return Table(count, qMakePair(0.0, 0.0));
}

// `count` rows of [0, 0] as the file holds them, joined by ",\n", without a final line end.
static QByteArray zeroRowsText(int count)
{
    QByteArrayList rows;
    for (int i = 0; i < count; ++i)
        rows << "        [\n"
                "            0,\n"
                "            0\n"
                "        ]";
    return rows.join(",\n");
}

// The window's example: ADC 2.5 and -1, empty DAC fields, row 0 holding 1.2 V and 300 K,
// the other 99 rows empty.
static CalibrationSet exampleSet()
{
    return makeSet(2.5, -1, 0, 0, Table{{1.2, 300}} + zeroRows(99));
}

static QByteArray exampleText()
{
    return "{\n"
           "    \"ADCCoeffs\": [\n"
           "        2.5,\n"
           "        -1\n"
           "    ],\n"
           "    \"DACCoeffs\": [\n"
           "        0,\n"
           "        0\n"
           "    ],\n"
           "    \"TempTable\": [\n"
           "        [\n"
           "            1.2,\n"
           "            300\n"
           "        ],\n"
           + zeroRowsText(99)
           + "\n"
             "    ]\n"
             "}\n";
}

static QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

static bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.flush();
}

static QStringList entries(const QString &path)
{
    return QDir(path).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                                QDir::Name);
}

// A tmpfs of a few pages mounted over a directory for the lifetime of the object.
class TinyTmpfs
{
public:
    explicit TinyTmpfs(const QString &path) : m_path(path)
    {
#ifdef Q_OS_WIN
        m_reason = "Windows has no tmpfs";
        return;
#else
        if (geteuid() != 0) {
            m_reason = "mounting a tmpfs needs root";
            return;
        }
        const QStringList args{"-t", "tmpfs", "-o", "size=16k", "tmpfs", path};
        m_mounted = QProcess::execute("mount", args) == 0;
        if (!m_mounted)
            m_reason = "mount -t tmpfs failed (no mount permission in this environment?)";
#endif
    }
    ~TinyTmpfs()
    {
        if (m_mounted)
            QProcess::execute("umount", {m_path});
    }
    TinyTmpfs(const TinyTmpfs &) = delete;
    TinyTmpfs &operator=(const TinyTmpfs &) = delete;

    bool mounted() const { return m_mounted; }
    QByteArray reason() const { return m_reason; }

private:
    QString m_path;
    bool m_mounted = false;
    QByteArray m_reason;
};

#ifdef Q_OS_WIN
// Windows has no file size limit to lower; the rows that need one are skipped there.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(qint64) {}
    bool active() const { return false; }
};

#else
// Lowers this process's file size limit; writes beyond it fail with EFBIG instead of
// raising SIGXFSZ, which is ignored meanwhile. Both are restored on destruction.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        if (getrlimit(RLIMIT_FSIZE, &m_old) != 0)
            return;
        m_oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit lowered = m_old;
        lowered.rlim_cur = bytes;
        m_active = setrlimit(RLIMIT_FSIZE, &lowered) == 0;
    }
    ~FileSizeLimit()
    {
        if (m_active)
            setrlimit(RLIMIT_FSIZE, &m_old);
        std::signal(SIGXFSZ, m_oldHandler);
    }
    FileSizeLimit(const FileSizeLimit &) = delete;
    FileSizeLimit &operator=(const FileSizeLimit &) = delete;

    bool active() const { return m_active; }

private:
    rlimit m_old{};
    void (*m_oldHandler)(int) = SIG_DFL;
    bool m_active = false;
};
#endif

// Writes until the file system refuses more; false if it never did.
static bool fillFileSystem(const QString &path)
{
    QFile filler(path);
    if (!filler.open(QIODevice::WriteOnly))
        return true;
    const QByteArray block(4096, 'x');
    for (int i = 0; i < 4096; ++i) {
        if (filler.write(block) != block.size() || !filler.flush())
            return true;
    }
    return false;
}

class TestCalibrationFile : public QObject
{
    Q_OBJECT

private slots:
    void serialize_data();
    void serialize();
    void serializeLayout_data();
    void serializeLayout();
    void serializeKeepsEveryDigit_data();
    void serializeKeepsEveryDigit();

    void withJsonSuffix_data();
    void withJsonSuffix();

    void parse_data();
    void parse();
    void parseRefuses_data();
    void parseRefuses();
    void parseSurvivesDeepNesting_data();
    void parseSurvivesDeepNesting();

    void saveWritesSerializedText();
    void saveTwiceReplacesFirstFile();
    void saveOpenFails_data();
    void saveOpenFails();
    void saveReadOnlyTargetKeepsFile_data();
    void saveReadOnlyTargetKeepsFile();
    void saveOnFullDiskKeepsFile_data();
    void saveOnFullDiskKeepsFile();
    void saveBeyondFileSizeLimitKeepsFile_data();
    void saveBeyondFileSizeLimitKeepsFile();

    void loadSavedFile();
    void loadFails_data();
    void loadFails();
    void loadUnreadableFile();
    void loadReadError_data();
    void loadReadError();
    void loadSizeLimit_data();
    void loadSizeLimit();

    void saveMessage_data();
    void saveMessage();
    void loadMessage_data();
    void loadMessage();

private:
    void addFailingWriteRows();
};

void TestCalibrationFile::serialize_data()
{
    QTest::addColumn<CalibrationSet>("set");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("example set") << exampleSet() << exampleText();

    QTest::newRow("all zero") << makeSet(0, 0, 0, 0, zeroRows(100))
                              << "{\n"
                                 "    \"ADCCoeffs\": [\n"
                                 "        0,\n"
                                 "        0\n"
                                 "    ],\n"
                                 "    \"DACCoeffs\": [\n"
                                 "        0,\n"
                                 "        0\n"
                                 "    ],\n"
                                 "    \"TempTable\": [\n"
                                     + zeroRowsText(100)
                                     + "\n"
                                       "    ]\n"
                                       "}\n";

    QTest::newRow("two rows") << makeSet(-0.5, 12000000, 77.35, -300, {{0.25, 4.5}, {-2, 300.15}})
                              << QByteArray("{\n"
                                            "    \"ADCCoeffs\": [\n"
                                            "        -0.5,\n"
                                            "        12000000\n"
                                            "    ],\n"
                                            "    \"DACCoeffs\": [\n"
                                            "        77.35,\n"
                                            "        -300\n"
                                            "    ],\n"
                                            "    \"TempTable\": [\n"
                                            "        [\n"
                                            "            0.25,\n"
                                            "            4.5\n"
                                            "        ],\n"
                                            "        [\n"
                                            "            -2,\n"
                                            "            300.15\n"
                                            "        ]\n"
                                            "    ]\n"
                                            "}\n");
}

void TestCalibrationFile::serialize()
{
    QFETCH(CalibrationSet, set);
    QFETCH(QByteArray, expected);
    QCOMPARE(calibrationfile::serialize(set), expected);
}

void TestCalibrationFile::serializeLayout_data()
{
    QTest::addColumn<int>("rows");
    QTest::addColumn<int>("lines");
    QTest::newRow("the grid's 100 rows") << 100 << 412;
    QTest::newRow("one row") << 1 << 16;
    QTest::newRow("150 rows") << 150 << 612;
}

void TestCalibrationFile::serializeLayout()
{
    QFETCH(int, rows);
    QFETCH(int, lines);
    const QByteArray text =
        calibrationfile::serialize(makeSet(1.5, -2, 3e-7, 4, Table(rows, qMakePair(0.1, 300.0))));
    QCOMPARE(text.count('\n'), lines);
    QVERIFY(text.endsWith("}\n"));
    QVERIFY(!text.contains('\r'));
    QVERIFY(!text.startsWith("\xef\xbb\xbf"));
    for (char c : text)
        QVERIFY2(c > 0 && c < 127, "the file is plain ASCII");
}

void TestCalibrationFile::serializeKeepsEveryDigit_data()
{
    QTest::addColumn<double>("value");
    QTest::newRow("0.123456789") << 0.123456789;
    QTest::newRow("300.15") << 300.15;
    QTest::newRow("0.1 + 0.2") << 0.30000000000000004;
    QTest::newRow("one plus epsilon") << 1.0000000000000002;
    QTest::newRow("1e-05") << 1e-05;
    QTest::newRow("-1.2e+07") << -1.2e+07;
    QTest::newRow("beyond 2^53") << 9007199254740994.0;
    QTest::newRow("smallest subnormal") << std::numeric_limits<double>::denorm_min();
    QTest::newRow("largest double") << std::numeric_limits<double>::max();
}

// Reads the ADC slope line back with a plain number conversion, independent of parse().
void TestCalibrationFile::serializeKeepsEveryDigit()
{
    QFETCH(double, value);
    const QByteArray text = calibrationfile::serialize(makeSet(value, 0, 0, 0, zeroRows(1)));
    const QByteArrayList lines = text.split('\n');
    QVERIFY(lines.size() > 2);
    QByteArray slopeLine = lines.at(2).trimmed();
    QVERIFY2(slopeLine.endsWith(','), slopeLine.constData());
    slopeLine.chop(1);
    bool ok = false;
    const double readBack = slopeLine.toDouble(&ok);
    QVERIFY2(ok, slopeLine.constData());
    QVERIFY2(readBack == value, slopeLine.constData());

    const std::optional<CalibrationSet> parsed = calibrationfile::parse(text);
    QVERIFY(parsed);
    QVERIFY2(parsed->adcSlope == value, slopeLine.constData());
}

void TestCalibrationFile::withJsonSuffix_data()
{
    QTest::addColumn<QString>("chosen");
    QTest::addColumn<QString>("expected");
    QTest::newRow("no suffix") << "cal" << "cal.json";
    QTest::newRow("already .json") << "cal.json" << "cal.json";
    QTest::newRow("upper-case .JSON") << "cal.JSON" << "cal.JSON.json";
    QTest::newRow("json without a dot") << "caljson" << "caljson.json";
    QTest::newRow("other suffix") << "cal.txt" << "cal.txt.json";
    QTest::newRow(".json inside the name") << "cal.json.bak" << "cal.json.bak.json";
    QTest::newRow("directory named .json") << "/tmp/a.json/cal" << "/tmp/a.json/cal.json";
    QTest::newRow("spaces kept") << "/tmp/my cal " << "/tmp/my cal .json";
}

void TestCalibrationFile::withJsonSuffix()
{
    QFETCH(QString, chosen);
    QFETCH(QString, expected);
    QCOMPARE(calibrationfile::withJsonSuffix(chosen), expected);
}

void TestCalibrationFile::parse_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<CalibrationSet>("expected");

    QTest::newRow("the example file") << exampleText() << exampleSet();
    QTest::newRow("compact file")
        << QByteArray(R"({"ADCCoeffs":[2.5,-1],"DACCoeffs":[0.5,7],"TempTable":[[1.2,300],[0.4,77.35]]})")
        << makeSet(2.5, -1, 0.5, 7, {{1.2, 300}, {0.4, 77.35}});
    QTest::newRow("members in another order, CRLF line ends")
        << QByteArray("{\r\n\"TempTable\": [[1, 2]],\r\n\"DACCoeffs\": [3, 4],\r\n"
                      "\"ADCCoeffs\": [5, 6]\r\n}\r\n")
        << makeSet(5, 6, 3, 4, {{1, 2}});
    QTest::newRow("UTF-8 byte-order mark")
        << QByteArray("\xef\xbb\xbf{\"ADCCoeffs\": [1, 2]}") << makeSet(1, 2, 0, 0, {});
    QTest::newRow("three rows")
        << QByteArray(R"({"ADCCoeffs":[1,2],"DACCoeffs":[3,4],"TempTable":[[0.1,10],[0.2,20],[0.3,30]]})")
        << makeSet(1, 2, 3, 4, {{0.1, 10}, {0.2, 20}, {0.3, 30}});

    QByteArrayList rowTexts;
    Table rows;
    for (int i = 0; i < 150; ++i) {
        rowTexts << "[" + QByteArray::number(i) + ".5, " + QByteArray::number(i * 2) + "]";
        rows << qMakePair(i + 0.5, i * 2.0);
    }
    QTest::newRow("150 rows") << R"({"TempTable": [)" + rowTexts.join(", ") + "]}"
                              << makeSet(0, 0, 0, 0, rows);

    QTest::newRow("no DACCoeffs")
        << QByteArray(R"({"ADCCoeffs":[2.5,-1],"TempTable":[[1.2,300]]})")
        << makeSet(2.5, -1, 0, 0, {{1.2, 300}});
    QTest::newRow("ADCCoeffs with one element")
        << QByteArray(R"({"ADCCoeffs":[2.5],"DACCoeffs":[1,2]})") << makeSet(2.5, 0, 1, 2, {});
    QTest::newRow("empty arrays")
        << QByteArray(R"({"ADCCoeffs":[],"DACCoeffs":[],"TempTable":[]})")
        << makeSet(0, 0, 0, 0, {});
    QTest::newRow("row with one element")
        << QByteArray(R"({"TempTable":[[1.2],[3,4]]})") << makeSet(0, 0, 0, 0, {{1.2, 0}, {3, 4}});
    QTest::newRow("elements past the second ignored")
        << QByteArray(R"({"ADCCoeffs":[1,2,9],"TempTable":[[1.2,300,7]]})")
        << makeSet(1, 2, 0, 0, {{1.2, 300}});
    QTest::newRow("string holding digits")
        << QByteArray(R"({"ADCCoeffs":["1.5",2],"TempTable":[["1.2","300"]]})")
        << makeSet(0, 2, 0, 0, {{0, 0}});
    QTest::newRow("null, booleans, array, object")
        << QByteArray(R"({"ADCCoeffs":[null,true],"DACCoeffs":[false,[1]],"TempTable":[[{"v":1},[2]]]})")
        << makeSet(0, 0, 0, 0, {{0, 0}});
    QTest::newRow("rows that are not arrays")
        << QByteArray(R"({"TempTable":[5,[1,2],"x",null,{"0":1}]})")
        << makeSet(0, 0, 0, 0, {{0, 0}, {1, 2}, {0, 0}, {0, 0}, {0, 0}});
    QTest::newRow("members that are not arrays")
        << QByteArray(R"({"ADCCoeffs":5,"DACCoeffs":{"0":1,"1":2},"TempTable":"[[1,2]]"})")
        << makeSet(0, 0, 0, 0, {});
    QTest::newRow("member holding null") << QByteArray(R"({"TempTable":null})")
                                         << makeSet(0, 0, 0, 0, {});
    QTest::newRow("wrong-case member beside a right one")
        << QByteArray(R"({"adccoeffs":[1,2],"ADCcoeffs":[1,2],"DACCoeffs":[3,4]})")
        << makeSet(0, 0, 3, 4, {});
    QTest::newRow("other members ignored")
        << QByteArray(R"({"Version":2,"Comment":"x","TempTable":[[1,2]]})")
        << makeSet(0, 0, 0, 0, {{1, 2}});
    QTest::newRow("number forms")
        << QByteArray(R"({"ADCCoeffs":[1e-05,-1.2E+07],"DACCoeffs":[-0,12345678901234567890]})")
        << makeSet(1e-05, -1.2e+07, 0, 12345678901234567890.0, {});
    QTest::newRow("value nested 500 deep in a row")
        << R"({"TempTable":[)" + QByteArray(500, '[') + "1" + QByteArray(500, ']') + ",[1,2]]}"
        << makeSet(0, 0, 0, 0, {{0, 0}, {1, 2}});
}

void TestCalibrationFile::parse()
{
    QFETCH(QByteArray, json);
    QFETCH(CalibrationSet, expected);
    const std::optional<CalibrationSet> set = calibrationfile::parse(json);
    QVERIFY(set);
    QCOMPARE(set->table.size(), expected.table.size());
    QCOMPARE(numbers(*set), numbers(expected));
}

void TestCalibrationFile::parseRefuses_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("white space") << QByteArray(" \n\t\r\n");
    QTest::newRow("plain text") << QByteArray("ADCCoeffs 2.5 -1\n");
    QTest::newRow("binary") << QByteArray("\x00\xff\x7f{\"ADCCoeffs\":[1]}", 20);
    QTest::newRow("sensor curve") << QByteArray("1.2\t300\n0.4\t77.35\n");
    QTest::newRow("JSON array") << QByteArray(R"([["ADCCoeffs",[1,2]]])");
    QTest::newRow("JSON number") << QByteArray("42");
    QTest::newRow("JSON string") << QByteArray(R"("ADCCoeffs")");
    QTest::newRow("empty object") << QByteArray("{}");
    QTest::newRow("only other members") << QByteArray(R"({"Version":1,"Table":[[1,2]]})");
    QTest::newRow("only wrong-case members")
        << QByteArray(R"({"adccoeffs":[1,2],"DACcoeffs":[3,4],"temptable":[]})");
    QTest::newRow("truncated file") << exampleText().left(300);
    QTest::newRow("trailing garbage") << QByteArray(R"({"ADCCoeffs":[1,2]} x)");
    QTest::newRow("number beyond double range") << QByteArray(R"({"ADCCoeffs":[1e999,0]})");
    QTest::newRow("NaN literal") << QByteArray(R"({"ADCCoeffs":[NaN,0]})");
}

void TestCalibrationFile::parseRefuses()
{
    QFETCH(QByteArray, bytes);
    QVERIFY(!calibrationfile::parse(bytes));
}

void TestCalibrationFile::parseSurvivesDeepNesting_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("100000 open brackets") << QByteArray(100000, '[');
    QTest::newRow("100000 deep and closed")
        << QByteArray(100000, '[') + QByteArray(100000, ']');
    QTest::newRow("100000 deep inside a member")
        << R"({"ADCCoeffs":)" + QByteArray(100000, '[') + QByteArray(100000, ']') + "}";
    QTest::newRow("100000 deep objects")
        << QByteArray(100000, '{').replace("{", R"({"TempTable":)");
}

// Such input must not crash; if it is read at all, it is read leniently and holds nothing.
void TestCalibrationFile::parseSurvivesDeepNesting()
{
    QFETCH(QByteArray, bytes);
    const std::optional<CalibrationSet> set = calibrationfile::parse(bytes);
    if (set) {
        QCOMPARE(numbers(*set), QVector<double>({0, 0, 0, 0}));
    }
}

void TestCalibrationFile::saveWritesSerializedText()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("cal.json");
    QCOMPARE(save(path, exampleSet()), SaveStatus::Saved);
    QCOMPARE(readFile(path), exampleText());
    QCOMPARE(entries(dir.path()), QStringList{"cal.json"});
}

void TestCalibrationFile::saveTwiceReplacesFirstFile()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("cal.json");
    QCOMPARE(save(path, makeSet(9, 9, 9, 9, Table(150, qMakePair(123.456, 789.0)))),
             SaveStatus::Saved);
    QCOMPARE(save(path, exampleSet()), SaveStatus::Saved);
    QCOMPARE(readFile(path), exampleText());
    QCOMPARE(entries(dir.path()), QStringList{"cal.json"});
}

void TestCalibrationFile::saveOpenFails_data()
{
    QTest::addColumn<QString>("target");
    QTest::newRow("missing directory") << "missing/cal.json";
    QTest::newRow("parent is a file") << "plain/cal.json";
    QTest::newRow("target is a directory") << "sub";
    QTest::newRow("empty path") << "";
}

// Every case starts from a directory holding the file "plain" and the directory "sub";
// afterwards both must be exactly as they were and nothing else may exist.
void TestCalibrationFile::saveOpenFails()
{
    QFETCH(QString, target);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(writeFile(dir.filePath("plain"), "keep me\n"));
    QVERIFY(QDir(dir.path()).mkdir("sub"));

    const QString path = target.isEmpty() ? QString() : dir.filePath(target);
    QCOMPARE(save(path, exampleSet()), SaveStatus::OpenFailed);

    QCOMPARE(entries(dir.path()), QStringList({"plain", "sub"}));
    QCOMPARE(readFile(dir.filePath("plain")), QByteArray("keep me\n"));
    QCOMPARE(entries(dir.filePath("sub")), QStringList());
}

void TestCalibrationFile::saveReadOnlyTargetKeepsFile_data()
{
    QTest::addColumn<bool>("protectDirectory");
    QTest::newRow("read-only file") << false;
    QTest::newRow("read-only directory") << true;
}

void TestCalibrationFile::saveReadOnlyTargetKeepsFile()
{
    QFETCH(bool, protectDirectory);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("cal.json");
    QCOMPARE(save(path, exampleSet()), SaveStatus::Saved);

    const QFileDevice::Permissions readOnly = QFileDevice::ReadOwner | QFileDevice::ReadUser;
    const QFileDevice::Permissions dirReadOnly =
        readOnly | QFileDevice::ExeOwner | QFileDevice::ExeUser;
    const QFileDevice::Permissions dirWritable = dirReadOnly | QFileDevice::WriteOwner
                                                 | QFileDevice::WriteUser;
    QVERIFY(protectDirectory ? QFile::setPermissions(dir.path(), dirReadOnly)
                             : QFile::setPermissions(path, readOnly));

    // The super-user (or a process with CAP_DAC_OVERRIDE) writes through permission bits.
    QFile probe(protectDirectory ? dir.filePath("probe") : path);
    const bool bitsIgnored = probe.open(QIODevice::WriteOnly | QIODevice::Append);
    probe.close();
    const SaveStatus status = bitsIgnored ? SaveStatus::Saved
                                          : save(path, makeSet(1, 2, 3, 4, zeroRows(100)));
    QVERIFY(QFile::setPermissions(dir.path(), dirWritable));
    if (bitsIgnored)
        QSKIP("permission bits do not stop this process from writing (running as root?)");

    QCOMPARE(status, SaveStatus::OpenFailed);
    QCOMPARE(readFile(path), exampleText());
    QCOMPARE(entries(dir.path()), QStringList{"cal.json"});
}

void TestCalibrationFile::addFailingWriteRows()
{
    QTest::addColumn<int>("rows");
    // About 5 KB stays in QFile's write buffer, so only the flush meets the failure.
    QTest::newRow("file within the write buffer") << 100;
    QTest::newRow("file beyond the write buffer") << 2000;
}

void TestCalibrationFile::saveOnFullDiskKeepsFile_data()
{
    addFailingWriteRows();
}

void TestCalibrationFile::saveOnFullDiskKeepsFile()
{
    QFETCH(int, rows);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const TinyTmpfs tmpfs(dir.path());
    if (!tmpfs.mounted())
        QSKIP(tmpfs.reason().constData());

    const QString path = dir.filePath("cal.json");
    const CalibrationSet earlier = makeSet(1, 2, 3, 4, {{5, 6}, {7, 8}});
    QCOMPARE(save(path, earlier), SaveStatus::Saved);
    const QByteArray before = readFile(path);
    QVERIFY2(fillFileSystem(dir.filePath("filler")), "the 16 KB tmpfs never filled up");

    QCOMPARE(save(path, makeSet(2.5, -1, 0, 0, zeroRows(rows))), SaveStatus::WriteFailed);
    QCOMPARE(readFile(path), before);
    QCOMPARE(entries(dir.path()), QStringList({"cal.json", "filler"}));
}

void TestCalibrationFile::saveBeyondFileSizeLimitKeepsFile_data()
{
    addFailingWriteRows();
}

void TestCalibrationFile::saveBeyondFileSizeLimitKeepsFile()
{
    QFETCH(int, rows);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("cal.json");
    QCOMPARE(save(path, exampleSet()), SaveStatus::Saved);

    SaveStatus status = SaveStatus::Saved;
    {
        const FileSizeLimit limit(1024);
        if (!limit.active())
            QSKIP("the file size limit could not be lowered");
        status = save(path, makeSet(1, 2, 3, 4, zeroRows(rows)));
    }
    QCOMPARE(status, SaveStatus::WriteFailed);
    QCOMPARE(readFile(path), exampleText());
    QCOMPARE(entries(dir.path()), QStringList{"cal.json"});
}

void TestCalibrationFile::loadSavedFile()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("cal.json");
    const CalibrationSet set = makeSet(0.123456789, -1, 1e-05, 300.15, Table(100, {1.2, 77.35}));
    QCOMPARE(save(path, set), SaveStatus::Saved);
    const LoadResult result = load(path);
    QCOMPARE(result.status, LoadStatus::Loaded);
    QCOMPARE(numbers(result.set), numbers(set));
}

void TestCalibrationFile::loadFails_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<LoadStatus>("expected");
    const QByteArray valid = exampleText();
    QTest::newRow("missing file") << "absent.json" << valid << LoadStatus::OpenFailed;
    QTest::newRow("directory") << "sub" << valid << LoadStatus::OpenFailed;
    QTest::newRow("empty file") << "cal.json" << QByteArray() << LoadStatus::NotCalibrationFile;
    QTest::newRow("garbage") << "cal.json" << QByteArray("\x89PNG\r\n\x1a\n\0\0", 10)
                             << LoadStatus::NotCalibrationFile;
    QTest::newRow("JSON array") << "cal.json" << QByteArray("[1.2, 300]")
                                << LoadStatus::NotCalibrationFile;
}

void TestCalibrationFile::loadFails()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, content);
    QFETCH(LoadStatus, expected);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(writeFile(dir.filePath("cal.json"), content));
    QVERIFY(QDir(dir.path()).mkdir("sub"));
    QCOMPARE(load(dir.filePath(name)).status, expected);
}

void TestCalibrationFile::loadUnreadableFile()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("cal.json");
    QVERIFY(writeFile(path, exampleText()));
    QVERIFY(QFile::setPermissions(path, QFileDevice::WriteOwner));
    QFile probe(path);
    if (probe.open(QIODevice::ReadOnly))
        QSKIP("permission bits do not stop this process from reading (running as root?)");
    QCOMPARE(load(path).status, LoadStatus::OpenFailed);
}

// A read error, however much was read before it, is a file that cannot be opened: what
// came before is not the whole file, even when it parses.
void TestCalibrationFile::loadReadError_data()
{
    QTest::addColumn<int>("servedBytes");
    QTest::newRow("at the first read") << 0;
    QTest::newRow("part-way") << 200;
    QTest::newRow("after the whole text") << int(exampleText().size());
}

void TestCalibrationFile::loadReadError()
{
    QFETCH(int, servedBytes);
    testsupport::FailingDevice device(exampleText().left(servedBytes));
    QVERIFY(device.open(QIODevice::ReadOnly));
    QCOMPARE(load(device).status, LoadStatus::OpenFailed);
    QVERIFY2(device.failedReads() < testsupport::FailingDevice::GiveUpAfter, "reading went on after the error");
}

void TestCalibrationFile::loadSizeLimit_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<LoadStatus>("expected");
    QTest::newRow("at the limit") << MaxFileBytes << LoadStatus::Loaded;
    QTest::newRow("one byte over") << MaxFileBytes + 1 << LoadStatus::NotCalibrationFile;
}

// A valid file padded with white space to the given size.
void TestCalibrationFile::loadSizeLimit()
{
    QFETCH(qint64, size);
    QFETCH(LoadStatus, expected);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("big.json");
    const QByteArray head(R"({"ADCCoeffs": [1.5, 2]})");
    QVERIFY(writeFile(path, head + QByteArray(int(size - head.size()), ' ')));
    QCOMPARE(QFileInfo(path).size(), size);

    const LoadResult result = load(path);
    QCOMPARE(result.status, expected);
    if (expected == LoadStatus::Loaded)
        QCOMPARE(numbers(result.set), QVector<double>({1.5, 2, 0, 0}));
}

void TestCalibrationFile::saveMessage_data()
{
    QTest::addColumn<SaveStatus>("status");
    QTest::addColumn<QString>("expected");
    QTest::newRow("saved") << SaveStatus::Saved << QString();
    QTest::newRow("open failed") << SaveStatus::OpenFailed << "Couldn't open save file.";
    QTest::newRow("write failed") << SaveStatus::WriteFailed << "Couldn't write save file.";
}

void TestCalibrationFile::saveMessage()
{
    QFETCH(SaveStatus, status);
    QFETCH(QString, expected);
    QCOMPARE(message(status), expected);
}

void TestCalibrationFile::loadMessage_data()
{
    QTest::addColumn<LoadStatus>("status");
    QTest::addColumn<QString>("expected");
    QTest::newRow("loaded") << LoadStatus::Loaded << QString();
    QTest::newRow("open failed") << LoadStatus::OpenFailed << "Couldn't open save file.";
    QTest::newRow("not a calibration file")
        << LoadStatus::NotCalibrationFile << "Not a calibration file.";
}

void TestCalibrationFile::loadMessage()
{
    QFETCH(LoadStatus, status);
    QFETCH(QString, expected);
    QCOMPARE(message(status), expected);
}

QTEST_GUILESS_MAIN(TestCalibrationFile)
#include "tst_calibrationfile.moc"
