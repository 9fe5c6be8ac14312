#pragma once

#include "command.h"
#include "error.h"

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
Command signCommand();
Command verifyDccCommand();

// The exit status of a calibration bench's error, by its code alone.
inline Status statusOf(const procedure::Error &error)
{
    switch (error.code) {
    case procedure::Error::Code::None:
        return Success;
    case procedure::Error::Code::Invalid:
        return UsageError;
    case procedure::Error::Code::Unreadable:
    case procedure::Error::Code::Unwritable:
        return FileProblem;
    case procedure::Error::Code::NotVerified:
        return NotVerified;
    case procedure::Error::Code::Device:
        return NoAnswer;
    }
    return FileProblem;
}

} // namespace cli
