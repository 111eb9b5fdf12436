// `likeness init`: a new home with a copy of a model.
#include <filesystem>
#include <iostream>
#include <optional>

#include <CLI/CLI.hpp>

#include "CommandSupport.h"
#include "Home.h"
#include "commands/Commands.h"

namespace fs = std::filesystem;

namespace likeness_cli {
namespace {

struct InitOptions {
    std::string dir;  // the home to create; --home when empty
    std::string modelDir;
    bool force = false;
};

int runInit(const GlobalOptions& global, const InitOptions& options) {
    const std::string home = options.dir.empty() ? global.home : options.dir;
    std::vector<std::string> tried;
    const std::optional<ModelSource> model = findModel(options.modelDir, tried);
    if (!model) {
        std::string places;
        for (const std::string& place : tried) places += "\n  " + place;
        complain("no model found (" + netFileIn("").string() + " and " + weightsFileIn("").string() + ") in:" + places +
                 "\nbuild one with `make model` or name a folder with --model DIR");
        return kExitUsage;
    }
    try {
        createHome(home, *model, options.force);
    } catch (const std::runtime_error& failure) {
        complain(failure.what());
        return kExitUsage;
    }
    std::cout << "created the home " << fs::absolute(home).lexically_normal().string() << " with the model from "
              << model->dir.string() << " (" << model->origin << ")" << std::endl;
    const std::string homeOption = home == "." ? "" : " --home " + shellWord(home);
    std::cout << "next: likeness" << homeOption << " add FOLDER_OF_PICTURES, then likeness" << homeOption
              << " search PICTURE" << std::endl;
    return kExitOk;
}

class InitCommand final : public Command {
public:
    void define(CLI::App& command) override {
        command.description("Create a home with a copy of the default model");
        command.add_option("DIR", options.dir, "The home to create (default: --home)");
        command.add_option("--model", options.modelDir,
                           "Copy the model from this folder instead of the default one, which is looked for in "
                           "$LIKENESS_MODEL_DIR, then <prefix>/share/likeness/model, then the source tree's model/");
        command.add_flag("--force", options.force, "Replace the model of an existing home");
    }
    int run(const GlobalOptions& global) override { return runInit(global, options); }

private:
    InitOptions options;
};

}  // namespace

std::unique_ptr<Command> makeInitCommand() {
    return std::make_unique<InitCommand>();
}

}  // namespace likeness_cli
