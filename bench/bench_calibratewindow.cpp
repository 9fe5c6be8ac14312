// thermocal-calibrate's window through a whole calibration on the simulated bench (four
// points as found, the write, four as left, the results and the certificate's preview),
// with a timer that should fire every few milliseconds: the longest gap between two of its
// firings beyond its interval is the longest the event loop stalled.
//
// bench_calibratewindow --pages DIR saves a picture of each page as the run reaches it
// (scripts/screenshots runs it on Xvfb for the README); the grabs themselves then count in
// the stall figures.
#include "benchsupport.h"
#include "calibratewindow.h"
#include "plotviews.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QDate>
#include <QDir>
#include <QSet>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

namespace {

constexpr int TickMs = 5;
constexpr int StallMs = 50; // the window's own limit for a step that blocks
constexpr int RunLimitMs = 300000;

QJsonObject benchProcedure(const sim::BenchHost &bench)
{
    const QString text = QStringLiteral(R"({
        "kind": "sensor", "points": [50, 150, 300, 450],
        "reference": {"port": "%1", "unit": "K", "identify": true,
                      "certificate": {"number": "REF-1", "expanded_uncertainty": 0.004, "k": 2, "due": "2099-06-30"},
                      "drift": 0.002, "resolution": 0.001},
        "source": {"port": "%2", "set": "SOUR:SPO {C}", "settle": 0.5},
        "stability": {"interval": 0.2, "window": 2, "slope": 1.0, "sd": 0.03, "samples": 8, "timeout": 60},
        "tolerance": 0.05, "decision_rule": "guarded", "fit": {"degree": 3},
        "certificate": {"number": "BENCH-1", "lab": "bench"}})")
                             .arg(bench.referenceUrl(), bench.bathUrl());
    return QJsonDocument::fromJson(text.toUtf8()).object();
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("thermocal-calibrate"));
    const QStringList arguments = QApplication::arguments();
    const int pagesAt = arguments.indexOf(QStringLiteral("--pages"));
    const QString pages = pagesAt > 0 ? arguments.value(pagesAt + 1) : QString();
    QSet<QString> shot;
    // Each page once, named as the README shows it.
    const auto shoot = [&pages, &shot](QWidget &window, const QString &name) {
        if (pages.isEmpty() || shot.contains(name))
            return;
        shot.insert(name);
        const QString path = QDir(pages).filePath(QStringLiteral("calibrate-%1.png").arg(name));
        if (!window.grab().save(path))
            std::fprintf(stderr, "bench_calibratewindow: cannot write %s\n", qPrintable(path));
    };
    sim::BenchSettings settings;
    settings.timeConstantSeconds = 0.5;
    QString error;
    const std::unique_ptr<sim::BenchHost> bench = testsupport::startBench(settings, &error);
    if (!bench) {
        std::fprintf(stderr, "bench_calibratewindow: %s\n", qPrintable(error));
        return 1;
    }
    QTemporaryDir directory;
    const QString procedurePath = directory.filePath(QStringLiteral("procedure.json"));
    QFile file(procedurePath);
    if (!file.open(QIODevice::WriteOnly) || file.write(QJsonDocument(benchProcedure(*bench)).toJson()) <= 0 || !file.flush())
        return 1;
    file.close();

    CalibrateWindow window(bench->instrumentPort());
    window.resize(1180, 780);
    window.show();
    window.openFile(procedurePath);
    QApplication::processEvents();
    shoot(window, QStringLiteral("procedure"));
    window.findChild<QLineEdit *>(QStringLiteral("leRecord"))->setText(directory.filePath(QStringLiteral("record.json")));
    window.findChild<QPushButton *>(QStringLiteral("pbToChecks"))->click();

    qint64 longest = 0;
    qint64 longestInRun = 0;
    int stalls = 0;
    QElapsedTimer sinceTick;
    sinceTick.start();
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const qint64 late = sinceTick.restart() - TickMs;
        longest = std::max(longest, late);
        if (window.page() == CalibrateWindow::RunPage)
            longestInRun = std::max(longestInRun, late);
        if (late > StallMs)
            ++stalls;
    });
    tick.start(TickMs);

    // The steps, each taken when the window offers it.
    QElapsedTimer total;
    total.start();
    bool started = false;
    bool written = false;
    QTimer steps;
    QObject::connect(&steps, &QTimer::timeout, [&] {
        auto *start = window.findChild<QPushButton *>(QStringLiteral("pbStart"));
        const RunChart *chart = window.findChild<RunChart *>();
        if (!started && start->isEnabled()) {
            shoot(window, QStringLiteral("checks"));
            started = true;
            start->click();
        } else if (window.page() == CalibrateWindow::RunPage && chart->reference().samples.size() >= 14
                   && window.findChild<QLabel *>(QStringLiteral("lbPhase"))->text().contains(QStringLiteral("point 2 of 4"))) {
            shoot(window, QStringLiteral("run"));
        } else if (window.page() == CalibrateWindow::FitPage && !written) {
            shoot(window, QStringLiteral("fit"));
            written = true;
            QTimer::singleShot(200, [] {
                if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget()))
                    box->button(QMessageBox::Yes)->click();
            });
            window.findChild<QPushButton *>(QStringLiteral("pbWrite"))->click();
        } else if ((window.page() == CalibrateWindow::ResultsPage
                    && window.findChild<QLabel *>(QStringLiteral("lbPreview"))->text().isEmpty())
                   || total.elapsed() > RunLimitMs
                   || (!window.worker().busy() && started && window.page() == CalibrateWindow::RunPage)) {
            application.quit();
        }
    });
    steps.start(100);
    application.exec();
    if (window.page() == CalibrateWindow::ResultsPage)
        shoot(window, QStringLiteral("results"));

    if (window.page() != CalibrateWindow::ResultsPage) {
        std::fprintf(stderr, "bench_calibratewindow: the run did not reach the results: %s\n",
                     qPrintable(window.findChild<QLabel *>(QStringLiteral("lbMessage"))->text()));
        return 1;
    }
    std::printf("%-44s %6.1f s for 4 + 4 points, a %d ms timer\n", "calibrate window: whole run", total.elapsed() / 1000.0, TickMs);
    std::printf("%-44s %6lld ms during the run, %lld ms overall, %d stalls over %d ms   (target: under %d ms)\n",
                "calibrate window: longest event-loop stall", longestInRun, longest, stalls, StallMs, StallMs);
    return 0;
}
