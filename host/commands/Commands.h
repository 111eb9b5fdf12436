// The subcommands of the likeness command, one file each (host/commands/NAMECommand.cpp) with its
// flags and its code. They talk to the library only through its public headers, as any host would.
#ifndef LIKENESS_HOST_COMMANDS_COMMANDS_H
#define LIKENESS_HOST_COMMANDS_COMMANDS_H

#include <memory>

#include "Command.h"

namespace likeness_cli {

std::unique_ptr<Command> makeInitCommand();
std::unique_ptr<Command> makeAddCommand();
std::unique_ptr<Command> makeAddUrlCommand();
std::unique_ptr<Command> makeSearchCommand();
std::unique_ptr<Command> makeDupesCommand();
std::unique_ptr<Command> makeClassifyCommand();
std::unique_ptr<Command> makeInfoCommand();
std::unique_ptr<Command> makeRemoveCommand();
std::unique_ptr<Command> makeCompactCommand();
std::unique_ptr<Command> makeServeCommand();
std::unique_ptr<Command> makeShardCommand();
std::unique_ptr<Command> makeMergeCommand();

}  // namespace likeness_cli

#endif
