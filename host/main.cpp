// likeness: the command-line host of the likeness library. Its subcommands, in the order the help
// lists them; each one's flags and code are in host/commands/.
#include <string>
#include <vector>

#include "Command.h"
#include "commands/Commands.h"

int main(int argc, char** argv) {
    using namespace likeness_cli;
    const std::vector<CommandEntry> commands = {
        {"init", makeInitCommand},     {"add", makeAddCommand},       {"add-url", makeAddUrlCommand},
        {"search", makeSearchCommand}, {"dupes", makeDupesCommand},   {"classify", makeClassifyCommand},
        {"info", makeInfoCommand},     {"remove", makeRemoveCommand}, {"compact", makeCompactCommand},
        {"serve", makeServeCommand},   {"shard", makeShardCommand},   {"merge", makeMergeCommand},
    };
    return runCommandLine(commands, std::vector<std::string>(argv + 1, argv + argc));
}
