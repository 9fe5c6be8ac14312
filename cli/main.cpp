// thermocal-cli: the instrument's device actions for scripts and for several instruments.
#include "cli.h"

int main(int argc, char *argv[])
{
    return cli::main(argc, argv);
}
