// thermocal-cli: the instrument's device actions for scripts and for several instruments.
#include "cli.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    return cli::run(application.arguments());
}
