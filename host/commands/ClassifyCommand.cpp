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
    const PathDisplay display;
    const fs::path start = fs::current_path();
    const std::optional<fs::path> home = enterHome(global.home);
    if (!home) return kExitUsage;
    const std::vector<PictureArgument> pictures = pictureArguments(picturePaths, start, display);
    const ModelClasses classes = modelClasses(*home);
    const std::string kind = classes.kind.empty() ? "" : " (" + classes.kind + ")";
    std::optional<VnnClassifier> classifier;
    int status = kExitOk;
    bool ratedContent = false;
    for (const PictureArgument& picture : pictures) {
        const std::string& shown = picture.shown;
        const likeness::DecodedPicture image =
            picture.problem.empty() ? likeness::readPicture(picture.path) : likeness::DecodedPicture();
        if (!image.usable()) {
            std::cerr << shown << ": "
                      << (picture.problem.empty() ? "not a decodable picture (" + image.refusal + ")" : picture.problem)
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
        ratedContent = true;
    }
    // The default model's class names read like subjects ("Drawing" for a hotel photo): say once
    // what they are.
    if (ratedContent && classes.kind == kContentRating)
        std::cerr << "note: these are the default model's content-rating classes (Drawing, Hentai, Neutral, Porn, "
                     "Sexy): they rate a picture for adult content and do not say what it shows"
                  << std::endl;
    return status;
}

class ClassifyCommand final : public Command {
public:
    void define(CLI::App& command) override {
        command.description(
            "Print the model's best class for each picture and its score. The default model's classes (Drawing, "
            "Hentai, Neutral, Porn, Sexy) are a content rating for adult material: they do not say what a picture "
            "shows, and a photo of a hotel may well be rated Drawing");
        command
            .add_option("PATH", picturePaths,
                        "Picture files, folders of them or keys of stored pictures (as search prints them)")
            ->required();
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
