#include "widget.h"
#include "windowoptions.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    if (const auto status = windowoptions::answerInformationOptions(argc, argv))
        return *status;
    QApplication application(argc, argv);
    if (const auto status = windowoptions::applyPortOption(QApplication::arguments()))
        return *status;
    Widget window;
    window.show();
    return application.exec();
}
