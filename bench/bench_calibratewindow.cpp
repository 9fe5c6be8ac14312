// thermocal-calibrate's window through a whole calibration on the simulated bench (four
// points as found, the write, four as left, the results and the certificate's preview),
// with a timer that should fire every few milliseconds: the longest gap between two of its
// firings beyond its interval is the longest the event loop stalled.
//
// Then a large record (LargeSamples readings at each of LargePoints points) is opened through
// the window and saved by its worker, each timed against the same work done on the window's
// thread, as it was before the worker read and wrote files.
//
// bench_calibratewindow --pages DIR saves a picture of each page as the run reaches it
// (scripts/screenshots runs it on Xvfb for the README); the grabs themselves then count in
// the stall figures.
#include "benchsupport.h"
#include "calibratewindow.h"
#include "largerecord.h"
#include "plotviews.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QDate>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSet>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <functional>

namespace {

constexpr int TickMs = 5;
constexpr int StallMs = 50; // the window's own limit for a step that blocks
constexpr int RunLimitMs = 300000;
constexpr int LargePoints = 40;
constexpr int LargeSamples = 25000;
constexpr double BytesPerMiB = 1024.0 * 1024.0;

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
    // The file is read on the window's worker.
    while (window.state() == CalibrateWindow::State::Opening)
        QApplication::processEvents(QEventLoop::WaitForMoreEvents);
    QApplication::processEvents();
    shoot(window, QStringLiteral("procedure"));
    window.findChild<QLineEdit *>(QStringLiteral("leRecord"))->setText(directory.filePath(QStringLiteral("record.json")));
    window.findChild<QPushButton *>(QStringLiteral("pbToChecks"))->click();

    qint64 longest = 0;
    qint64 longestInRun = 0;
    qint64 longestInJob = 0; // over the file job in progress
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
        longestInJob = std::max(longestInJob, late);
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
    steps.stop();
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

    // The large record: its work timed on this thread first, as the window once did it.
    const record::Record large = recordsupport::largeRecord(LargePoints, LargeSamples);
    const QString largePath = directory.filePath(QStringLiteral("large.json"));
    QElapsedTimer clock;
    clock.start();
    if (!record::save(largePath, large).isEmpty())
        return 1;
    const qint64 savedHere = clock.restart();
    procedure::Error loadError;
    const std::optional<QJsonObject> loaded = record::load(largePath, &loadError);
    if (!loaded || !record::verify(*loaded).ok)
        return 1;
    const qint64 openedHere = clock.elapsed();
    const double mebibytes = QFileInfo(largePath).size() / BytesPerMiB;
    // Then by the window: each job's stalls from its start until the worker is idle again.
    const auto timeJob = [&](const std::function<void()> &begin, const std::function<bool()> &done) {
        QTimer::singleShot(0, [&] {
            // The loop stood still while the same work was timed above: counted from here.
            sinceTick.restart();
            longestInJob = 0;
            clock.restart();
            begin();
        });
        QTimer wait;
        QObject::connect(&wait, &QTimer::timeout, [&] {
            if (done())
                application.quit();
        });
        wait.start(TickMs);
        application.exec();
        return std::make_pair(clock.elapsed(), longestInJob);
    };
    const auto opened = timeJob([&] { window.openFile(largePath); },
                                [&] { return window.state() != CalibrateWindow::State::Opening; });
    if (window.page() != CalibrateWindow::ChecksPage) {
        std::fprintf(stderr, "bench_calibratewindow: the large record was not opened: %s\n",
                     qPrintable(window.findChild<QLabel *>(QStringLiteral("lbMessage"))->text()));
        return 1;
    }
    // The checks the opened record starts end first: the worker does one job at a time.
    timeJob([] {}, [&] { return !window.worker().busy(); });
    const auto saved = timeJob([&] { window.worker().saveRecord(directory.filePath(QStringLiteral("saved.json")), large); },
                               [&] { return !window.worker().busy(); });
    std::printf("%-44s %6lld ms to read and verify %.0f MiB; on the window's thread it blocked %lld ms\n",
                "calibrate window: opening a large record", opened.first, mebibytes, openedHere);
    std::printf("%-44s %6lld ms   (target: under %d ms)\n", "calibrate window: longest stall while opening", opened.second, StallMs);
    std::printf("%-44s %6lld ms to write %.0f MiB; on the window's thread it blocked %lld ms\n",
                "calibrate window: saving a large record", saved.first, mebibytes, savedHere);
    std::printf("%-44s %6lld ms   (target: under %d ms)\n", "calibrate window: longest stall while saving", saved.second, StallMs);
    return 0;
}
