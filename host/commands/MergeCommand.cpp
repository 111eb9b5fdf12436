// `likeness merge`: the shards made by `likeness shard` (and grown since) joined into one home again.
#include <filesystem>
#include <stdexcept>

#include <CLI/CLI.hpp>

#include "CommandSupport.h"
#include "Sharding.h"
#include "commands/Commands.h"

namespace fs = std::filesystem;

namespace likeness_cli {
namespace {

struct MergeOptions {
    std::string shardsFolder;
    std::string newHome;
};

int runMerge(const MergeOptions& options) {
    try {
        return mergeShards(fs::absolute(options.shardsFolder).lexically_normal(),
                           fs::absolute(options.newHome).lexically_normal());
    } catch (const std::runtime_error& failure) {
        complain("nothing merged: " + std::string(failure.what()));
        return kExitSomeFailed;
    }
}

class MergeCommand final : public Command {
public:
    void define(CLI::App& command) override {
        command.description(
            "Join the shards of a folder made by likeness shard into one new home; refused when a key is in two "
            "shards or their models differ, and the home appears only once every picture is in place and counted");
        command.add_option("SHARDS", options.shardsFolder, "The folder of shards (it holds shards.json)")->required();
        command.add_option("HOME", options.newHome, "The home to create")->required();
    }
    int run(const GlobalOptions&) override { return runMerge(options); }

private:
    MergeOptions options;
};

}  // namespace

std::unique_ptr<Command> makeMergeCommand() {
    return std::make_unique<MergeCommand>();
}

}  // namespace likeness_cli
