// `likeness classify`: the model's best class of each picture and its score. The paths are made
// absolute before the command changes into the home, since the library resolves relative paths
// against the working directory.
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <optional>

#include <CLI/CLI.hpp>

#include "CommandSupport.h"
#include "Home.h"
#include "classifier/VnnClassifier.h"
#include "commands/Commands.h"
#include "module/FeatureClassifier.h"
#include "module/FeatureContract.h"
#include "module/PictureDecoder.h"

namespace fs = std::filesystem;

namespace likeness_cli {
namespace {

int runClassify(const GlobalOptions& global, const std::vector<std::string>& picturePaths) {
    std::vector<std::string> pictures;
    for (const std::string& path : picturePaths) pictures.push_back(fs::absolute(path).string());
    const std::optional<fs::path> home = enterHome(global.home);
    if (!home) return kExitUsage;
    const ModelClasses classes = modelClasses(*home);
    const std::string kind = classes.kind.empty() ? "" : " (" + classes.kind + ")";
    std::optional<VnnClassifier> classifier;
    int status = kExitOk;
    for (std::size_t i = 0; i < pictures.size(); ++i) {
        const std::string& shown = picturePaths[i];
        std::error_code error;
        const std::string unreadable = fs::exists(pictures[i], error) ? unreadableReason(pictures[i]) : "no such file";
        const likeness::DecodedPicture image =
            unreadable.empty() ? likeness::readPicture(pictures[i]) : likeness::DecodedPicture();
        if (!image.usable()) {
            std::cerr << shown << ": "
                      << (unreadable.empty() ? "not a decodable picture (" + image.refusal + ")" : unreadable)
                      << std::endl;
            status = kExitSomeFailed;
            continue;
        }
        if (!classifier)
            classifier = likeness::makeFeatureClassifier(likeness::kModelNetPath, likeness::kModelWeightsPath);
        VnnType prediction;
        classifier->classify(image.pixels, prediction);
        const bool named =
            prediction.classId >= 0 && static_cast<std::size_t>(prediction.classId) < classes.names.size();
        if (pictures.size() > 1) std::cout << shown << ": ";
        std::cout << (named ? classes.names[static_cast<std::size_t>(prediction.classId)]
                            : "class " + std::to_string(prediction.classId))
                  << " " << std::fixed << std::setprecision(4) << prediction.score << kind << std::endl;
    }
    return status;
}

class ClassifyCommand final : public Command {
public:
    void define(CLI::App& command) override {
        command.description(
            "Print the model's best class for each picture and its score. The default model's classes (Drawing, "
            "Hentai, Neutral, Porn, Sexy) rate content; they do not say what a picture shows");
        command.add_option("PATH", picturePaths, "Picture files")->required();
    }
    int run(const GlobalOptions& global) override { return runClassify(global, picturePaths); }

private:
    std::vector<std::string> picturePaths;
};

}  // namespace

std::unique_ptr<Command> makeClassifyCommand() {
    return std::make_unique<ClassifyCommand>();
}

}  // namespace likeness_cli
