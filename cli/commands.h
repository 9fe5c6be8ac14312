#pragma once

#include "command.h"

// The commands of thermocal-cli, each declared in the file of its name.
namespace cli {

Command portsCommand();
Command readCommand();
Command getCommand();
Command setCommand();
Command commitCommand();
Command diffCommand();
Command importCommand();
Command exportCommand();
Command plotCommand();
Command softcalCommand();
Command calibrateCommand();
Command verifyRecordCommand();
Command dccCommand();

} // namespace cli
