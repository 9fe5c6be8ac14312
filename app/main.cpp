#include "widget.h"
#include "windowoptions.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    // Options first: help and usage errors need no display.
    const windowoptions::Options options = windowoptions::parse(argc, argv);
    if (options.exitStatus)
        return *options.exitStatus;
    QApplication application(argc, argv);
    windowoptions::usePort(options.port);
    Widget window;
    window.show();
    return application.exec();
}
