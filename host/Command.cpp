// The command line: the global options, one CLI11 subcommand per table entry, and the dispatch.
#include "Command.h"

#include <exception>
#include <iostream>

#include <CLI/CLI.hpp>

#include "Outcome.h"

namespace likeness_cli {

int runCommandLine(const std::vector<CommandEntry>& commands, const std::vector<std::string>& arguments) {
    CLI::App app{
        "likeness: find the pictures of a local collection that look most like a query picture.\n"
        "A collection lives in a home folder (model/, feat.txt, the stored pictures, dated logs).",
        "likeness"};
    app.require_subcommand(1);
    app.fallthrough();
    app.set_version_flag("--version", std::string("likeness ") + LIKENESS_VERSION);
    GlobalOptions global;
    app.add_option("--home", global.home, "The collection's home folder (default: the current folder)");
    app.add_flag("-q,--quiet", global.quiet, "No progress display");
    app.add_flag("-v,--verbose", global.verbose,
                 "A line for every picture added, found stored already or passed over, not only for problems");

    std::vector<std::unique_ptr<Command>> made;
    std::vector<CLI::App*> subcommands;
    for (const CommandEntry& entry : commands) {
        made.push_back(entry.make());
        subcommands.push_back(app.add_subcommand(entry.name));
        made.back()->define(*subcommands.back());
    }

    // CLI11 takes the arguments last first.
    std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::ParseError& error) {
        const int status = app.exit(error);
        return status == 0 ? kExitOk : kExitUsage;
    }
    try {
        for (std::size_t i = 0; i < made.size(); ++i)
            if (subcommands[i]->parsed()) return made[i]->run(global);
    } catch (const std::exception& failure) {
        std::cerr << "likeness: " << failure.what() << std::endl;
        return kExitUsage;
    }
    return kExitUsage;
}

}  // namespace likeness_cli
