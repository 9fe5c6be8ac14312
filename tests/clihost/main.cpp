// thermocal-cli as it is built, with the discovery seam opened to a test that runs it as a
// subprocess: THERMOCAL_TEST_PORTS lists the ports to report, "name[:vendor:product]"
// separated by ';' (hexadecimal ids).
#include "cli.h"
#include "portdiscovery.h"
#include "testsupport.h"

#include <QString>

int main(int argc, char *argv[])
{
    const QList<portdiscovery::Port> ports
        = testsupport::portsFromList(qEnvironmentVariable("THERMOCAL_TEST_PORTS"));
    portdiscovery::setPortSource([ports] { return ports; });
    return cli::main(argc, argv);
}
