// `likeness info`: the home, its model and classes, the number of pictures, the feature file and
// the log.
#include <filesystem>
#include <iostream>
#include <optional>

#include <CLI/CLI.hpp>

#include "CommandSupport.h"
#include "Home.h"
#include "commands/Commands.h"
#include "log/EasyLog.h"

namespace fs = std::filesystem;

namespace likeness_cli {
namespace {

int runInfo(const GlobalOptions& global) {
    const std::optional<fs::path> home = enterHome(global.home);
    if (!home) return kExitUsage;
    const Collection collection;
    std::error_code error;
    const fs::path modelDir = modelFolder(*home);
    const fs::path net = netFileIn(modelDir);
    const fs::path weights = weightsFileIn(modelDir);
    std::cout << "home:      " << home->string() << "\n"
              << "model:     " << modelDir.string() << " (" << net.filename().string() << " "
              << byteSize(fs::file_size(net, error)) << ", " << weights.filename().string() << " "
              << byteSize(fs::file_size(weights, error)) << ")\n";
    const ModelClasses classes = modelClasses(*home);
    if (!classes.names.empty()) {
        std::cout << "classes:  ";
        for (const std::string& name : classes.names) std::cout << " " << name;
        std::cout << (classes.kind.empty() ? "" : " (" + classes.kind + ")") << "\n";
    }
    const std::string& database = collection.featureFile();
    const std::uintmax_t databaseBytes = fs::file_size(database, error);
    std::cout << "pictures:  " << collection.size() << "\n"
              << "database:  " << (*home / database).string() << " ("
              << (error ? std::string("not written yet") : byteSize(databaseBytes)) << ")\n"
              << "log:       " << (*home / EasyLog::TodaysFileName()).string() << std::endl;
    return kExitOk;
}

class InfoCommand final : public Command {
public:
    void define(CLI::App& command) override {
        command.description("Print the home, its model, the number of pictures and the database size");
    }
    int run(const GlobalOptions& global) override { return runInfo(global); }
};

}  // namespace

std::unique_ptr<Command> makeInfoCommand() {
    return std::make_unique<InfoCommand>();
}

}  // namespace likeness_cli
