// `likeness shard`: a home split into several by the hash of each key, for a collection spread over
// several processes or machines (the Python module's ShardedCollection), under the home's lock.
#include <filesystem>
#include <stdexcept>

#include <CLI/CLI.hpp>

#include "CommandSupport.h"
#include "Sharding.h"
#include "commands/Commands.h"

namespace fs = std::filesystem;

namespace likeness_cli {
namespace {

// More shards than this would keep more feature files open at once than a process may.
constexpr std::size_t kMostShards = 512;

struct ShardOptions {
    std::string home;
    std::size_t count = 0;
    std::string outFolder;
};

int runShard(const ShardOptions& options) {
    const fs::path outFolder = fs::absolute(options.outFolder).lexically_normal();
    const std::optional<fs::path> home = enterHome(options.home);
    if (!home) return kExitUsage;
    const std::optional<likeness::WriterLock> lock = lockHome(*home);
    if (!lock) return kExitUsage;
    try {
        return splitHome(*home, options.count, outFolder);
    } catch (const std::runtime_error& failure) {
        complain("nothing split: " + std::string(failure.what()));
        return kExitSomeFailed;
    }
}

class ShardCommand final : public Command {
public:
    void define(CLI::App& command) override {
        command.description(
            "Split a home into several homes in a new folder, each picture going to the shard its key's hash names, "
            "with a copy of the model in each; the folder appears only once every picture is in place and counted");
        command.add_option("HOME", options.home, "The home to split")->required();
        command.add_option("--into", options.count, "How many homes to split it into")
            ->required()
            ->check(CLI::Range(std::size_t{1}, kMostShards));
        command.add_option("OUTDIR", options.outFolder, "The folder to create, holding shard-0, shard-1, ...")
            ->required();
    }
    int run(const GlobalOptions&) override { return runShard(options); }

private:
    ShardOptions options;
};

}  // namespace

std::unique_ptr<Command> makeShardCommand() {
    return std::make_unique<ShardCommand>();
}

}  // namespace likeness_cli
