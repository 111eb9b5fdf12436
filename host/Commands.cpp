// The subcommands that set up and describe a home: init, classify and info. Every path the user
// gives is made absolute before the command changes into the home, since the library resolves
// relative paths against the working directory.
#include "Commands.h"

#include <filesystem>
#include <iomanip>
#include <iostream>
#include <optional>

#include <opencv2/imgcodecs.hpp>

#include "CommandSupport.h"
#include "Home.h"
#include "classifier/VnnClassifier.h"
#include "log/EasyLog.h"
#include "module/FeatureContract.h"

namespace fs = std::filesystem;

namespace likeness_cli {
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
    return kExitOk;
}

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
        const cv::Mat image = unreadable.empty() ? cv::imread(pictures[i], cv::IMREAD_COLOR) : cv::Mat();
        if (image.empty()) {
            std::cerr << shown << ": " << (unreadable.empty() ? "not a decodable picture" : unreadable) << std::endl;
            status = kExitSomeFailed;
            continue;
        }
        if (!classifier) classifier = makeFeatureClassifier(likeness::kModelNetPath, likeness::kModelWeightsPath);
        VnnType prediction;
        classifier->classify(image, prediction);
        const bool named =
            prediction.classId >= 0 && static_cast<std::size_t>(prediction.classId) < classes.names.size();
        if (pictures.size() > 1) std::cout << shown << ": ";
        std::cout << (named ? classes.names[static_cast<std::size_t>(prediction.classId)]
                            : "class " + std::to_string(prediction.classId))
                  << " " << std::fixed << std::setprecision(4) << prediction.score << kind << std::endl;
    }
    return status;
}

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
    const std::string& database = collection.state().databasePath();
    const std::uintmax_t databaseBytes = fs::file_size(database, error);
    std::cout << "pictures:  " << collection.state().features().size() << "\n"
              << "database:  " << (*home / database).string() << " ("
              << (error ? std::string("not written yet") : byteSize(databaseBytes)) << ")\n"
              << "log:       " << (*home / EasyLog::TodaysFileName()).string() << std::endl;
    return kExitOk;
}

}  // namespace likeness_cli
