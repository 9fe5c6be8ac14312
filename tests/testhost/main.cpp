// The program as `thermocal` builds it (same options), with the discovery seam and the
// dialogs opened to a test that runs it as a subprocess:
//   THERMOCAL_TEST_PORTS  ports to report, "name[:vendor:product]" separated by ';' (hex ids)
//   THERMOCAL_TEST_SIM    "1": also start the simulated instrument and report its terminal
//   THERMOCAL_TEST_CLOSE  "1": close the window as soon as it is shown
// It prints "BOX <title>|<text>" for each message box (and answers it with OK) and
// "SHOWN tab=<index>" when the window appears.
#include "instrument.h"
#include "portdiscovery.h"
#include "windowsupport.h"
#include "widget.h"
#include "windowoptions.h"

#include <QApplication>
#include <QMessageBox>
#include <QTabWidget>
#include <QTimer>

#include <cstdio>
#include <memory>

namespace {

class ShowWatcher : public QObject
{
public:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Show) {
            auto *tabs = watched->findChild<QTabWidget *>(QStringLiteral("tabWidget"));
            std::printf("SHOWN tab=%d\n", tabs ? tabs->currentIndex() : -1);
            std::fflush(stdout);
            if (qEnvironmentVariable("THERMOCAL_TEST_CLOSE") == QLatin1String("1"))
                QTimer::singleShot(0, static_cast<QWidget *>(watched), &QWidget::close);
        }
        return false;
    }
};

} // namespace

int main(int argc, char *argv[])
{
    const windowoptions::Options options = windowoptions::parse(argc, argv);
    if (options.exitStatus)
        return *options.exitStatus;
    QApplication application(argc, argv);

    QList<portdiscovery::Port> ports = testsupport::portsFromList(qEnvironmentVariable("THERMOCAL_TEST_PORTS"));
    std::unique_ptr<sim::Instrument> instrument;
    if (qEnvironmentVariable("THERMOCAL_TEST_SIM") == QLatin1String("1")) {
        instrument = std::make_unique<sim::Instrument>();
        QString error;
        if (!instrument->start(&error))
            qFatal("simulated instrument: %s", qPrintable(error));
        ports.append(portdiscovery::instrumentPort(instrument->portName()));
    }
    portdiscovery::setPortSource([ports] { return ports; });
    windowoptions::usePort(options.port);

    QTimer boxAnswerer;
    QObject::connect(&boxAnswerer, &QTimer::timeout, [] {
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
            std::printf("BOX %s|%s\n", qPrintable(box->windowTitle()), qPrintable(box->text()));
            std::fflush(stdout);
            box->done(QMessageBox::Ok);
        }
    });
    boxAnswerer.start(5);

    ShowWatcher watcher;
    Widget window;
    window.installEventFilter(&watcher);
    window.show();
    return application.exec();
}
