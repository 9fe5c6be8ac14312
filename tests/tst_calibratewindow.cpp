#include "benchsupport.h"
#include "calibratewindow.h"
#include "certificate.h"
#include "curveplot.h"
#include "dcc.h"
#include "dccschema.h"
#include "largerecord.h"
#include "procedureform.h"
#include "record.h"
#include "testsupport.h"

#include <QApplication>
#include <QCheckBox>
#include <QFileDialog>
#include <QInputDialog>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>
#include <memory>

namespace {

constexpr int RunMs = 120000;    // a whole run of windows of seconds, on a busy machine
constexpr int AnswerMs = 10000;  // for a check's answers, a stop
constexpr int TickMs = 5;        // a timer that counts the event loop's turns
// A large record: some 100,000 readings, tens of MB, read and verified in a good part of a
// second at least, which a timer of TickMs sees many times over unless the loop is blocked.
constexpr int LargePoints = 20;
constexpr int LargeSamples = 5000;
constexpr int LeastTurns = 3;
constexpr int AfterMs = 1000;    // past a run's stop: longer than it takes a run to notice one

// A bath that settles in a few seconds, so stability windows of seconds pass.
sim::BenchSettings quickBath()
{
    sim::BenchSettings settings;
    settings.startKelvin = 290.0;
    settings.timeConstantSeconds = 0.5;
    return settings;
}

QJsonObject procedureFor(const QString &referenceUrl, const QString &bathUrl, const QJsonArray &points, const QDate &due)
{
    return QJsonObject{
        {QStringLiteral("kind"), QStringLiteral("sensor")},
        {QStringLiteral("points"), points},
        {QStringLiteral("reference"),
         QJsonObject{{QStringLiteral("port"), referenceUrl},
                     {QStringLiteral("unit"), QStringLiteral("K")},
                     {QStringLiteral("identify"), true},
                     {QStringLiteral("certificate"), QJsonObject{{QStringLiteral("number"), QStringLiteral("REF-17")},
                                                                 {QStringLiteral("expanded_uncertainty"), 0.002},
                                                                 {QStringLiteral("k"), 2},
                                                                 {QStringLiteral("due"), due.toString(Qt::ISODate)}}},
                     {QStringLiteral("drift"), 0.001},
                     {QStringLiteral("resolution"), 0.001}}},
        {QStringLiteral("source"), QJsonObject{{QStringLiteral("port"), bathUrl},
                                               {QStringLiteral("set"), QStringLiteral("SOUR:SPO {C}")},
                                               {QStringLiteral("settle"), 1}}},
        {QStringLiteral("stability"), QJsonObject{{QStringLiteral("interval"), 0.2}, {QStringLiteral("window"), 2},
                                                  {QStringLiteral("slope"), 1.0}, {QStringLiteral("sd"), 0.05},
                                                  {QStringLiteral("samples"), 5}, {QStringLiteral("timeout"), 60}}},
        {QStringLiteral("tolerance"), 0.05},
        {QStringLiteral("decision_rule"), QStringLiteral("guarded")},
        {QStringLiteral("uncertainty"), QJsonArray{QJsonObject{{QStringLiteral("name"), QStringLiteral("bath uniformity")},
                                                               {QStringLiteral("value"), 0.003},
                                                               {QStringLiteral("distribution"), QStringLiteral("rectangular")}}}},
        {QStringLiteral("certificate"), QJsonObject{{QStringLiteral("number"), QStringLiteral("CAL-2026-042")},
                                                    {QStringLiteral("lab"), QStringLiteral("Cryo Calibration Lab")},
                                                    {QStringLiteral("item"), QStringLiteral("diode thermometer DT-9")},
                                                    {QStringLiteral("operator"), QStringLiteral("R. Kelvin")},
                                                    {QStringLiteral("city"), QStringLiteral("Braunschweig")},
                                                    {QStringLiteral("country"), QStringLiteral("DE")},
                                                    {QStringLiteral("language"), QStringLiteral("en")}}}};
}

QString writeJson(const QString &directory, const QString &name, const QJsonObject &object)
{
    return testsupport::writeFile(directory, name, QJsonDocument(object).toJson());
}

QJsonObject readJson(const QString &path)
{
    procedure::Error error;
    const std::optional<QJsonObject> object = record::load(path, &error);
    return object.value_or(QJsonObject());
}

// Answers the next modal dialog as it opens (a file dialog, a question, an input): a click
// that opens one blocks until it is answered.
void answerNextDialog(std::function<void(QWidget *)> answer)
{
    auto *poll = new QTimer(qApp);
    auto waited = std::make_shared<int>(0);
    QObject::connect(poll, &QTimer::timeout, [poll, waited, answer] {
        QWidget *modal = QApplication::activeModalWidget();
        if (modal || (*waited += poll->interval()) > AnswerMs) {
            poll->stop();
            poll->deleteLater();
            if (modal)
                answer(modal);
        }
    });
    poll->start(20);
}

void answerFileDialog(const QString &path)
{
    answerNextDialog([path](QWidget *modal) {
        auto *dialog = qobject_cast<QFileDialog *>(modal);
        QVERIFY2(dialog, "a file dialog");
        // The name as typed: Qt's own dialog reads its name field, which selectFile() leaves
        // to a file system scan still under way.
        auto *name = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
        QVERIFY2(name, "the file dialog's name field");
        name->setText(path);
        static_cast<QDialog *>(dialog)->accept();
    });
}

// Answers the next question box with `button`, keeping its text.
void answerQuestion(QMessageBox::StandardButton button, QString *text = nullptr)
{
    answerNextDialog([button, text](QWidget *modal) {
        auto *box = qobject_cast<QMessageBox *>(modal);
        QVERIFY2(box, "a question");
        if (text)
            *text = box->text();
        box->button(button)->click();
    });
}

template <typename T>
T *child(const QWidget &window, const char *name)
{
    T *found = window.findChild<T *>(QLatin1String(name));
    if (!found)
        qFatal("no %s", name);
    return found;
}

QString pdfText(const QString &path)
{
    QProcess text;
    text.start(QStringLiteral("pdftotext"), {QStringLiteral("-layout"), path, QStringLiteral("-")});
    return QString::fromUtf8(testsupport::finishProcess(text).out);
}

} // namespace

class TestCalibrateWindow : public QObject
{
    Q_OBJECT

private slots:
    void formRoundTrip();
    void formRefusals_data();
    void formRefusals();
    void wholeRunByClicks();
    void expiredReferenceStopAndResume();
    void openedOffTheWindowsThread_data();
    void openedOffTheWindowsThread();
    void closedWhileAFileOpens();
    void destroyedDuringARun();
};

// A procedure with every member the form shows, as the command reads it.
QJsonObject everyMember()
{
    QJsonObject procedure = procedureFor(QStringLiteral("socket://127.0.0.1:5025"), QStringLiteral("socket://127.0.0.1:5026"), {50, 100, 200, 300}, QDate(2031, 5, 1));
    procedure.insert(QStringLiteral("as_left_points"), QJsonArray{50, 300});
    procedure.insert(QStringLiteral("fit"), QJsonObject{{QStringLiteral("degree"), 2}});
    procedure.insert(QStringLiteral("uncertainty"),
                     QJsonArray{QJsonObject{{QStringLiteral("name"), QStringLiteral("immersion")}, {QStringLiteral("value"), 0.004},
                                            {QStringLiteral("distribution"), QStringLiteral("normal")}, {QStringLiteral("k"), 3}},
                                QJsonObject{{QStringLiteral("name"), QStringLiteral("self-heating")}, {QStringLiteral("value"), 0.001},
                                            {QStringLiteral("distribution"), QStringLiteral("u-shaped")}}});
    QJsonObject texts = procedure.value(QStringLiteral("certificate")).toObject();
    for (const char *member : {"address", "customer", "procedure", "ambient"})
        texts.insert(QLatin1String(member), QStringLiteral("text of %1").arg(QLatin1String(member)));
    procedure.insert(QStringLiteral("certificate"), texts);
    QJsonObject reference = procedure.value(QStringLiteral("reference")).toObject();
    reference.insert(QStringLiteral("query"), QStringLiteral("FETC?"));
    reference.insert(QStringLiteral("unit"), QStringLiteral("C"));
    procedure.insert(QStringLiteral("reference"), reference);
    return procedure;
}

// The form gives back exactly the file it was given, so the window and the command run each
// other's procedures.
void TestCalibrateWindow::formRoundTrip()
{
    const QJsonObject procedure = everyMember();
    QVERIFY2(procedure::parse(procedure).procedure, qPrintable(procedure::parse(procedure).error.message));
    ProcedureForm form;
    form.setProcedure(procedure);
    QString error;
    const std::optional<QJsonObject> back = form.procedure(&error);
    QVERIFY2(back, qPrintable(error));
    QCOMPARE(QJsonDocument(*back).toJson(), QJsonDocument(procedure).toJson());
}

void TestCalibrateWindow::formRefusals_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("problem");
    QTest::newRow("a comma") << "le_stability_sd" << "1,5" << "SD limit: '1,5' is not a number.";
    QTest::newRow("not finite") << "le_reference_drift" << "inf" << "drift: 'inf' is not a number.";
    QTest::newRow("a required number left empty") << "le_tolerance" << "" << "tolerance";
    QTest::newRow("a text required") << "le_certificate_lab" << "" << "certificate.lab";
    QTest::newRow("a degree the points cannot carry") << "le_fit_degree" << "7" << "\"fit.degree\" 7 needs";
}

// Text that is no number is named at its field and never sent as 0; what the procedure's
// own rules refuse is marked at the member they name.
void TestCalibrateWindow::formRefusals()
{
    QFETCH(QString, field);
    QFETCH(QString, text);
    QFETCH(QString, problem);
    ProcedureForm form;
    form.setProcedure(everyMember());
    auto *edit = form.findChild<QLineEdit *>(field);
    QVERIFY(edit);
    edit->setText(text);
    QString error;
    QVERIFY(!form.procedure(&error));
    QVERIFY2(error.contains(problem), qPrintable(error));
    QCOMPARE(edit->toolTip(), error);
    QVERIFY(!edit->styleSheet().isEmpty());
    // Corrected, the mark goes as the operator types.
    QTest::keyClick(edit, Qt::Key_1);
    QVERIFY(edit->styleSheet().isEmpty());
}

// Open, checks, as found, fit, write, as left, results, both files saved: the record verifies
// with the command, and matches the command's own run of the same procedure on the same bench.
void TestCalibrateWindow::wholeRunByClicks()
{
    QTemporaryDir directory;
    QString error;
    const std::unique_ptr<sim::BenchHost> bench = testsupport::startBench(quickBath(), &error);
    QVERIFY2(bench, qPrintable(error));
    const QJsonObject procedure = procedureFor(bench->referenceUrl(), bench->bathUrl(), {280, 300, 320}, QDate::currentDate().addYears(1));
    const QString procedurePath = writeJson(directory.path(), QStringLiteral("procedure.json"), procedure);

    CalibrateWindow window(bench->instrumentPort());
    window.show();
    answerFileDialog(procedurePath);
    QTest::mouseClick(child<QPushButton>(window, "pbOpen"), Qt::LeftButton);
    // The file is read on the worker; the window says so once it has it.
    QTRY_VERIFY_WITH_TIMEOUT(child<QLabel>(window, "lbMessage")->text().startsWith(QStringLiteral("Procedure ")), AnswerMs);
    QCOMPARE(window.page(), CalibrateWindow::ProcedurePage);
    QTest::mouseClick(child<QPushButton>(window, "pbTestReference"), Qt::LeftButton);
    // The bath starts at 290 K; a reading of exactly 290 K is shown as "290".
    const QRegularExpression at290(QStringLiteral("reads (289\\.9\\d*|290|290\\.0\\d*) K$"));
    QTRY_VERIFY2_WITH_TIMEOUT(child<QLabel>(window, "lbReferenceTest")->text().contains(at290),
                              qPrintable(child<QLabel>(window, "lbReferenceTest")->text()), AnswerMs);
    QVERIFY(child<QLabel>(window, "lbReferenceTest")->text().startsWith(QString::fromLatin1(sim::Bench::ReferenceIdentity)));
    QTest::mouseClick(child<QPushButton>(window, "pbToChecks"), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(window.page(), CalibrateWindow::ChecksPage, AnswerMs);
    const QString recordPath = directory.filePath(QStringLiteral("window-record.json"));
    child<QLineEdit>(window, "leRecord")->setText(recordPath);
    auto *start = child<QPushButton>(window, "pbStart");
    QTRY_VERIFY_WITH_TIMEOUT(start->isEnabled(), AnswerMs);
    QVERIFY(child<QLabel>(window, "lbInstrument")->text().contains(bench->instrumentPort()));
    QVERIFY(child<QLabel>(window, "lbReference")->text().contains(QString::fromLatin1(sim::Bench::ReferenceIdentity)));
    QVERIFY(child<QLabel>(window, "lbSource")->text().contains(QString::fromLatin1(sim::Bench::BathIdentity)));

    QTest::mouseClick(start, Qt::LeftButton);
    QCOMPARE(window.page(), CalibrateWindow::RunPage);
    QTRY_VERIFY_WITH_TIMEOUT(window.page() == CalibrateWindow::FitPage, RunMs);
    QCOMPARE(bench->bench().setPointKelvin(), 320.0);
    QCOMPARE(child<QTableWidget>(window, "twFit")->rowCount(), 3);
    QCOMPARE(child<QTableWidget>(window, "twFit")->horizontalHeaderItem(6)->text(), QStringLiteral("Change (mK)"));
    QVERIFY(child<QLabel>(window, "lbFitSummary")->text().contains(QStringLiteral("mK")));

    QString question;
    answerQuestion(QMessageBox::Yes, &question);
    QTest::mouseClick(child<QPushButton>(window, "pbWrite"), Qt::LeftButton);
    QVERIFY2(question.contains(QStringLiteral("backed up")) && question.contains(QStringLiteral("Table row")), qPrintable(question));
    // The write starts a run that writes and measures as left: told as soon as the run ends,
    // wherever it ends, rather than by waiting out the results page.
    QTRY_VERIFY_WITH_TIMEOUT(!window.worker().busy() || window.page() == CalibrateWindow::ResultsPage, RunMs);
    QVERIFY2(window.page() == CalibrateWindow::ResultsPage,
             qPrintable(QStringLiteral("page %1: %2").arg(int(window.page())).arg(child<QLabel>(window, "lbMessage")->text())));
    auto *results = child<QTableWidget>(window, "twResults");
    QCOMPARE(results->rowCount(), 6);
    // U with two significant digits in the unit its heading names, each error to the decimal
    // place of its U's last digit (a U of about 2 mK is "2.1", not "0.0021" K).
    QCOMPARE(results->horizontalHeaderItem(4)->text(), QStringLiteral("Error (mK)"));
    QCOMPARE(results->horizontalHeaderItem(5)->text(), QStringLiteral("U (mK) (k)"));
    const auto decimalsOf = [](const QString &number) {
        return number.contains(QLatin1Char('.')) ? int(number.size() - number.indexOf(QLatin1Char('.')) - 1) : 0;
    };
    for (int row = 0; row < results->rowCount(); ++row) {
        const QString u = results->item(row, 5)->text().section(QLatin1Char(' '), 0, 0);
        QString digits = u;
        digits.remove(QLatin1Char('.')).remove(QRegularExpression(QStringLiteral("^0+")));
        QVERIFY2(digits.size() == 2, qPrintable(results->item(row, 5)->text()));
        QCOMPARE(decimalsOf(results->item(row, 4)->text()), decimalsOf(u));
    }
    QVERIFY(child<QTableWidget>(window, "twBudget")->rowCount() > 4);
    // The preview's picture replaces its "drawn..." text.
    QTRY_VERIFY_WITH_TIMEOUT(child<QLabel>(window, "lbPreview")->text().isEmpty(), AnswerMs);

    const QString certificatePath = directory.filePath(QStringLiteral("certificate.pdf"));
    answerFileDialog(certificatePath);
    QTest::mouseClick(child<QPushButton>(window, "pbSaveCertificate"), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(child<QLabel>(window, "lbMessage")->text().startsWith(QStringLiteral("Certificate saved")), AnswerMs);
    // Its digital certificate beside it: valid, and the record's own.
    QFile dccFile(directory.filePath(QStringLiteral("certificate.dcc.xml")));
    QVERIFY(dccFile.open(QIODevice::ReadOnly));
    const QByteArray dccXml = dccFile.readAll();
    QVERIFY(!dccXml.isEmpty());
    const QString invalid = dccschema::problem(dccXml);
    QVERIFY2(invalid.isEmpty(), qPrintable(invalid));
    const certificate::Built built = certificate::build(*record::fromJson(readJson(recordPath), nullptr));
    QVERIFY(built.document);
    const QString foreign = dcc::belongsTo(dccXml, *built.document);
    QVERIFY2(foreign.isEmpty(), qPrintable(foreign));
    const QString savedPath = directory.filePath(QStringLiteral("saved-record.json"));
    answerFileDialog(savedPath);
    QTest::mouseClick(child<QPushButton>(window, "pbSaveRecord"), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(child<QLabel>(window, "lbMessage")->text().startsWith(QStringLiteral("Record saved")), AnswerMs);
    QVERIFY(QFile::exists(savedPath));

    // The record: whole, as left within tolerance, and the same as the one written as the run went.
    const QJsonObject saved = readJson(savedPath);
    QCOMPARE(saved, readJson(recordPath));
    QCOMPARE(saved.value(QStringLiteral("state")).toString(), QStringLiteral("complete"));
    QVERIFY(saved.value(QStringLiteral("write_outcome")).toString().contains(QStringLiteral("committed")));
    QVERIFY(QFile::exists(saved.value(QStringLiteral("backup")).toString()));
    // Each as-left point reads what the fit predicted for the new set there, within the noise
    // of two means of five readings: the instrument holds the proposed set.
    QHash<double, double> predicted;
    for (const QJsonValue &value : saved.value(QStringLiteral("points")).toArray()) {
        const QJsonObject point = value.toObject();
        const QJsonObject result = point.value(QStringLiteral("result")).toObject();
        const double nominal = point.value(QStringLiteral("nominal")).toDouble();
        if (point.value(QStringLiteral("phase")).toString() == QStringLiteral("as found")) {
            predicted.insert(nominal, result.value(QStringLiteral("predicted_error")).toDouble());
            continue;
        }
        const double left = result.value(QStringLiteral("error")).toDouble();
        QVERIFY2(std::fabs(left - predicted.value(nominal)) < 0.025,
                 qPrintable(QStringLiteral("at %1 K: %2 K as left, %3 K predicted").arg(nominal).arg(left).arg(predicted.value(nominal))));
    }
    QCOMPARE(predicted.size(), 3);

    QProcess verify;
    verify.start(QStringLiteral(CLI_PATH), {QStringLiteral("verify-record"), savedPath});
    const testsupport::ProcessRun verified = testsupport::finishProcess(verify);
    QCOMPARE(verified.exitCode, 0);
    QCOMPARE(verified.out, QByteArray("record verified\n"));

    // The certificate is the library's for this record, as the command writes it.
    if (!QStandardPaths::findExecutable(QStringLiteral("pdftotext")).isEmpty()) {
        const QString library = directory.filePath(QStringLiteral("library.pdf"));
        QCOMPARE(certificate::writePdf(library, *record::fromJson(saved, nullptr)), QString());
        const QString text = pdfText(certificatePath);
        QVERIFY(text.contains(QStringLiteral("CAL-2026-042")));
        QCOMPARE(text, pdfText(library));
    }

    // The command on the same bench from the same found set and procedure: the same record, but
    // for its readings.
    QProcess restore;
    restore.start(QStringLiteral(CLI_PATH), {QStringLiteral("set"), saved.value(QStringLiteral("backup")).toString(),
                                             QStringLiteral("--commit"), QStringLiteral("--no-backup"),
                                             QStringLiteral("--port"), bench->instrumentPort()});
    QCOMPARE(testsupport::finishProcess(restore).exitCode, 0);
    const QString cliPath = directory.filePath(QStringLiteral("cli-record.json"));
    QProcess command;
    command.setWorkingDirectory(directory.path());
    command.start(QStringLiteral(CLI_PATH), {QStringLiteral("calibrate"), procedurePath, QStringLiteral("--write"),
                                             QStringLiteral("--record"), cliPath, QStringLiteral("--port"), bench->instrumentPort()});
    const testsupport::ProcessRun ran = testsupport::finishProcess(command);
    QVERIFY2(ran.exitCode == 0, qPrintable(ran.err));
    const QJsonObject cli = readJson(cliPath);
    QCOMPARE(cli.keys(), saved.keys());
    for (const char *same : {"procedure", "as_found_sha256", "state", "write", "allow_expired_reference", "instrument"})
        QCOMPARE(cli.value(QLatin1String(same)), saved.value(QLatin1String(same)));
    const auto phases = [](const QJsonObject &object) {
        QStringList list;
        for (const QJsonValue &point : object.value(QStringLiteral("points")).toArray())
            list << QStringLiteral("%1 %2").arg(point.toObject().value(QStringLiteral("nominal")).toDouble())
                        .arg(point.toObject().value(QStringLiteral("phase")).toString());
        return list;
    };
    QCOMPARE(phases(cli), phases(saved));
    const auto proposedTable = [](const QJsonObject &object) {
        return device::toCalibrationSet(*record::fromJson(object, nullptr)->asLeft).table;
    };
    double largest = 0.0;
    for (const curveplot::Point &difference : curveplot::differenceInMillikelvin(proposedTable(cli), proposedTable(saved)))
        largest = std::max(largest, std::fabs(difference.first));
    QVERIFY2(largest < 50.0, qPrintable(QStringLiteral("the two new tables differ by %1 mK").arg(largest)));
}

// An expired reference stops the run at the checks until the operator overrides; a stopped
// run keeps its record, and reopening the record resumes it from the point in progress, with
// the override and a capture on the operator's word in the record; an as-left point skipped.
void TestCalibrateWindow::expiredReferenceStopAndResume()
{
    QTemporaryDir directory;
    QString error;
    const std::unique_ptr<sim::BenchHost> bench = testsupport::startBench(quickBath(), &error);
    QVERIFY2(bench, qPrintable(error));
    const QDate due = QDate::currentDate().addDays(-1);
    const QString procedurePath
        = writeJson(directory.path(), QStringLiteral("procedure.json"), procedureFor(bench->referenceUrl(), bench->bathUrl(), {285, 300}, due));
    const QString recordPath = directory.filePath(QStringLiteral("record.json"));

    CalibrateWindow window(bench->instrumentPort());
    window.show();
    QVERIFY(window.openFile(procedurePath));
    QTRY_VERIFY_WITH_TIMEOUT(child<QLabel>(window, "lbMessage")->text().startsWith(QStringLiteral("Procedure ")), AnswerMs);
    child<QLineEdit>(window, "leRecord")->setText(recordPath);
    QTest::mouseClick(child<QPushButton>(window, "pbToChecks"), Qt::LeftButton);
    auto *start = child<QPushButton>(window, "pbStart");
    auto *allow = child<QCheckBox>(window, "cbAllowExpired");
    QTRY_VERIFY_WITH_TIMEOUT(child<QLabel>(window, "lbReference")->text().contains(QStringLiteral("REF-0001")), AnswerMs);
    QVERIFY(child<QLabel>(window, "lbDue")->text().contains(due.toString(Qt::ISODate)));
    QVERIFY(child<QLabel>(window, "lbDue")->text().contains(QStringLiteral("expired")));
    QVERIFY(allow->isVisible());
    QVERIFY(!start->isEnabled());
    allow->click();
    // The override needs its reason, which the record and the certificate keep.
    QVERIFY(!start->isEnabled());
    child<QLineEdit>(window, "leExpiredReason")->setText(QStringLiteral("recalibration booked, reference checked against the TPW"));
    QVERIFY(start->isEnabled());
    QTest::mouseClick(start, Qt::LeftButton);

    // Closing during the run asks first; "Cancel" keeps it going.
    QString asked;
    answerQuestion(QMessageBox::Cancel, &asked);
    window.close();
    QVERIFY2(asked.contains(QStringLiteral("record is kept")), qPrintable(asked));
    QVERIFY(window.isVisible());
    QVERIFY(window.worker().busy());

    // Stopped once the first point is in the record.
    QTRY_VERIFY_WITH_TIMEOUT(readJson(recordPath).value(QStringLiteral("points")).toArray().size() == 1, RunMs);
    QTest::mouseClick(child<QPushButton>(window, "pbStop"), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!window.worker().busy(), AnswerMs);
    const QJsonObject stopped = readJson(recordPath);
    QCOMPARE(stopped.value(QStringLiteral("state")).toString(), QStringLiteral("stopped"));
    QVERIFY(child<QLabel>(window, "lbMessage")->text().contains(QStringLiteral("stopped")));
    QVERIFY(record::verify(stopped).ok);

    QVERIFY(window.openFile(recordPath));
    QTRY_COMPARE_WITH_TIMEOUT(window.page(), CalibrateWindow::ChecksPage, AnswerMs);
    QTRY_VERIFY_WITH_TIMEOUT(start->isEnabled(), AnswerMs);
    QVERIFY(start->text().contains(QStringLiteral("resume")));
    // A resumed run replaces no file but its own record.
    const QJsonObject keep{{QStringLiteral("keep"), QStringLiteral("me")}};
    const QString other = writeJson(directory.path(), QStringLiteral("other.json"), keep);
    child<QLineEdit>(window, "leRecord")->setText(other);
    QTest::mouseClick(start, Qt::LeftButton);
    QVERIFY(!window.worker().busy());
    QVERIFY2(child<QLabel>(window, "lbMessage")->text().contains(QStringLiteral("exists already")),
             qPrintable(child<QLabel>(window, "lbMessage")->text()));
    QCOMPARE(readJson(other), keep);
    child<QLineEdit>(window, "leRecord")->setText(recordPath);
    QTest::mouseClick(start, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(child<QLabel>(window, "lbPhase")->text().contains(QStringLiteral("point 2 of 2")), RunMs);
    const QString reason = QStringLiteral("bath steady by eye");
    answerNextDialog([&reason](QWidget *modal) {
        auto *input = qobject_cast<QInputDialog *>(modal);
        QVERIFY2(input, "the capture's reason");
        input->setTextValue(reason);
        input->accept();
    });
    QTest::mouseClick(child<QPushButton>(window, "pbCaptureNow"), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(window.page() == CalibrateWindow::FitPage, RunMs);

    const QJsonObject resumed = readJson(recordPath);
    QVERIFY(record::verify(resumed).ok);
    QCOMPARE(resumed.value(QStringLiteral("allow_expired_reference")), QJsonValue(true));
    QCOMPARE(resumed.value(QStringLiteral("expired_reference")).toObject().value(QStringLiteral("reason")).toString(),
             QStringLiteral("recalibration booked, reference checked against the TPW"));
    QCOMPARE(resumed.value(QStringLiteral("started")), stopped.value(QStringLiteral("started")));
    QCOMPARE(resumed.value(QStringLiteral("sessions")).toArray().size(), 2);
    // Every attempt stays: the first point, an attempt at the second the stop cut short (when
    // the stop came during its readings), and the second.
    const QJsonArray points = resumed.value(QStringLiteral("points")).toArray();
    QVERIFY(points.size() == 2 || (points.size() == 3 && points.at(1).toObject().contains(QStringLiteral("interrupted"))));
    QCOMPARE(points.at(0).toObject().value(QStringLiteral("samples")),
             stopped.value(QStringLiteral("points")).toArray().at(0).toObject().value(QStringLiteral("samples")));
    QCOMPARE(points.last().toObject().value(QStringLiteral("capture_reason")).toString(), reason);

    // Written from the resumed record; the first as-left point skipped by the operator.
    answerQuestion(QMessageBox::Yes);
    QTest::mouseClick(child<QPushButton>(window, "pbWrite"), Qt::LeftButton);
    const auto phase = [&window] { return child<QLabel>(window, "lbPhase")->text(); };
    QTRY_VERIFY_WITH_TIMEOUT(phase().startsWith(QStringLiteral("as left: point 1 of 2")) || !window.worker().busy(), RunMs);
    QVERIFY2(phase().startsWith(QStringLiteral("as left: point 1 of 2")),
             qPrintable(phase() + QStringLiteral(" / ") + child<QLabel>(window, "lbMessage")->text()));
    auto *skip = child<QPushButton>(window, "pbSkip");
    QVERIFY(skip->isEnabled());
    answerNextDialog([](QWidget *modal) {
        auto *input = qobject_cast<QInputDialog *>(modal);
        QVERIFY2(input, "the skip's reason");
        input->setTextValue(QStringLiteral("heater fault"));
        input->accept();
    });
    QTest::mouseClick(skip, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(window.page() == CalibrateWindow::ResultsPage, RunMs);
    QCOMPARE(child<QTableWidget>(window, "twResults")->rowCount(), 3);
    const QJsonObject written = readJson(recordPath);
    QVERIFY(record::verify(written).ok);
    const QJsonArray all = written.value(QStringLiteral("points")).toArray();
    QCOMPARE(all.size(), points.size() + 2);
    const QJsonObject skipped = all.at(all.size() - 2).toObject();
    QCOMPARE(skipped.value(QStringLiteral("phase")).toString(), QStringLiteral("as left"));
    QVERIFY(skipped.value(QStringLiteral("captured_from")).isNull());
    QCOMPARE(skipped.value(QStringLiteral("skip_reason")).toString(), QStringLiteral("heater fault"));
    QVERIFY(!all.last().toObject().value(QStringLiteral("captured_from")).isNull());
}

void TestCalibrateWindow::openedOffTheWindowsThread_data()
{
    QTest::addColumn<bool>("altered");
    QTest::addColumn<QString>("told");
    QTest::newRow("a large record, resumed") << false << "Record ";
    QTest::newRow("a large record that does not verify, refused") << true << "does not verify";
}

// A large record is read and verified on the worker: the window's event loop keeps turning
// all the while, the buttons that would start another job are off, and the outcome is told
// when the worker has it.
void TestCalibrateWindow::openedOffTheWindowsThread()
{
    QFETCH(bool, altered);
    QFETCH(QString, told);
    QTemporaryDir directory;
    const QString path = directory.filePath(QStringLiteral("large.json"));
    QCOMPARE(record::save(path, recordsupport::largeRecord(LargePoints, LargeSamples)), QString());
    if (altered) {
        // One reading changed after the hash was taken.
        QJsonObject object = readJson(path);
        QJsonArray points = object.value(QStringLiteral("points")).toArray();
        QJsonObject point = points.at(0).toObject();
        QJsonArray samples = point.value(QStringLiteral("samples")).toArray();
        QJsonArray sample = samples.at(0).toArray();
        sample.replace(1, sample.at(1).toDouble() + 0.5);
        samples.replace(0, sample);
        point.insert(QStringLiteral("samples"), samples);
        points.replace(0, point);
        object.insert(QStringLiteral("points"), points);
        writeJson(directory.path(), QStringLiteral("large.json"), object);
    }

    CalibrateWindow window{QString()};
    window.show();
    int turns = 0;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        if (window.state() == CalibrateWindow::State::Opening)
            ++turns;
    });
    tick.start(TickMs);
    // A refusal is answered (and told) rather than left waiting.
    QString refusal;
    answerNextDialog([&refusal](QWidget *modal) {
        auto *box = qobject_cast<QMessageBox *>(modal);
        QVERIFY2(box, "the refusal");
        refusal = box->text();
        box->accept();
    });
    QVERIFY(window.openFile(path));
    QCOMPARE(window.state(), CalibrateWindow::State::Opening);
    QVERIFY(!child<QPushButton>(window, "pbOpen")->isEnabled());
    QVERIFY(!child<QPushButton>(window, "pbToChecks")->isEnabled());
    QVERIFY(!window.openFile(path)); // one job at a time
    QTRY_VERIFY_WITH_TIMEOUT(window.state() != CalibrateWindow::State::Opening, RunMs);
    QVERIFY2(turns >= LeastTurns, qPrintable(QStringLiteral("the loop turned %1 times while the record was read").arg(turns)));
    if (altered) {
        QTRY_VERIFY_WITH_TIMEOUT(!refusal.isEmpty(), AnswerMs);
        QVERIFY2(refusal.contains(told), qPrintable(refusal));
        QCOMPARE(window.page(), CalibrateWindow::ProcedurePage);
        QCOMPARE(window.state(), CalibrateWindow::State::Editing);
        QVERIFY(child<QPushButton>(window, "pbOpen")->isEnabled());
    } else {
        QVERIFY2(refusal.isEmpty(), qPrintable(refusal));
        QVERIFY2(child<QLabel>(window, "lbMessage")->text().startsWith(told), qPrintable(child<QLabel>(window, "lbMessage")->text()));
        QCOMPARE(window.page(), CalibrateWindow::ChecksPage);
        QCOMPARE(child<QLineEdit>(window, "leRecord")->text(), path);
        QTRY_VERIFY_WITH_TIMEOUT(!window.worker().busy(), AnswerMs);
        QVERIFY(child<QPushButton>(window, "pbStart")->text().contains(QStringLiteral("resume")));
    }
}

// Closing the window while a file is read stops the job at its next step; the window closes
// once it has ended, though a stopped read tells nothing.
void TestCalibrateWindow::closedWhileAFileOpens()
{
    QTemporaryDir directory;
    const QString path = directory.filePath(QStringLiteral("large.json"));
    QCOMPARE(record::save(path, recordsupport::largeRecord(LargePoints, LargeSamples)), QString());
    CalibrateWindow window{QString()};
    window.show();
    QVERIFY(window.openFile(path));
    window.close();
    QVERIFY(window.isVisible());
    QCOMPARE(window.state(), CalibrateWindow::State::Closing);
    QTRY_VERIFY_WITH_TIMEOUT(!window.isVisible(), AnswerMs);
    QVERIFY(!window.worker().busy());
    QCOMPARE(window.page(), CalibrateWindow::ProcedurePage);
}

// The window destroyed with a run in progress (as SIGTERM ends the program): the worker stops
// the run and waits for it, so the record is written to its end before the window is gone,
// and nothing of the run reaches the destroyed window.
void TestCalibrateWindow::destroyedDuringARun()
{
    QTemporaryDir directory;
    QString error;
    const std::unique_ptr<sim::BenchHost> bench = testsupport::startBench(quickBath(), &error);
    QVERIFY2(bench, qPrintable(error));
    const QString procedurePath = writeJson(directory.path(), QStringLiteral("procedure.json"),
                                            procedureFor(bench->referenceUrl(), bench->bathUrl(), {285, 300}, QDate::currentDate().addYears(1)));
    const QString recordPath = directory.filePath(QStringLiteral("record.json"));
    auto window = std::make_unique<CalibrateWindow>(bench->instrumentPort());
    window->show();
    QVERIFY(window->openFile(procedurePath));
    QTRY_VERIFY_WITH_TIMEOUT(child<QLabel>(*window, "lbMessage")->text().startsWith(QStringLiteral("Procedure ")), AnswerMs);
    child<QLineEdit>(*window, "leRecord")->setText(recordPath);
    QTest::mouseClick(child<QPushButton>(*window, "pbToChecks"), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(child<QPushButton>(*window, "pbStart")->isEnabled(), AnswerMs);
    QTest::mouseClick(child<QPushButton>(*window, "pbStart"), Qt::LeftButton);
    QCOMPARE(window->state(), CalibrateWindow::State::Running);
    // Well into the first point: the run has readings to keep.
    QTRY_VERIFY_WITH_TIMEOUT(child<QLabel>(*window, "lbPhase")->text().contains(QStringLiteral("point 1 of 2"))
                                 && !child<QLabel>(*window, "lbJudge")->text().isEmpty(),
                             RunMs);
    window.reset();
    const QJsonObject atOnce = readJson(recordPath);
    // A run still going would show in the next moments: it would touch the destroyed worker
    // (which the sanitizer build reports) and write its record again. Whatever it had posted
    // to the window is dropped with it.
    QTest::qWait(AfterMs);
    QCOMPARE(atOnce.value(QStringLiteral("state")).toString(), QStringLiteral("stopped"));
    QVERIFY(record::verify(atOnce).ok);
    QCOMPARE(readJson(recordPath), atOnce);
}

QTEST_MAIN(TestCalibrateWindow)
#include "tst_calibratewindow.moc"
