// One subcommand of the likeness command: its description, arguments and flags, and what it does
// once they are parsed; and the command line that picks one out of a table of them.
#ifndef LIKENESS_HOST_COMMAND_H
#define LIKENESS_HOST_COMMAND_H

#include <memory>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace likeness_cli {

// The options every subcommand takes, given before its name.
struct GlobalOptions {
    std::string home = ".";
    bool quiet = false;    // no progress display
    bool verbose = false;  // a line for every picture added, not only for the problems
};

class Command {
public:
    virtual ~Command() = default;
    // Gives the subcommand its description and declares its arguments, options and flags, which
    // parsing writes into the command object.
    virtual void define(CLI::App& subcommand) = 0;
    // Runs the command after its line was parsed; returns the process exit status (Outcome.h).
    virtual int run(const GlobalOptions& global) = 0;
};

struct CommandEntry {
    const char* name;
    std::unique_ptr<Command> (*make)();
};

// Parses arguments (without the program's name) against the global options and the commands,
// runs the one command they name and returns its exit status. A line that does not parse is
// answered on standard error with status 2; --help and --version print and return 0. An exception
// that leaves a command ends it with "likeness: WHAT" on standard error and status 2.
int runCommandLine(const std::vector<CommandEntry>& commands, const std::vector<std::string>& arguments);

}  // namespace likeness_cli

#endif
