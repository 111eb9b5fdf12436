// Model lookup and home creation for the likeness command.
#include "Home.h"

#include <signal.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "module/FeatureContract.h"

namespace fs = std::filesystem;

namespace likeness_cli {
namespace {

// The classes of the default model, in output order. They rate content; they do not say what a
// picture shows.
const ModelClasses kDefaultClasses = {kContentRating, {"Drawing", "Hentai", "Neutral", "Porn", "Sexy"}};

// <prefix>/share/likeness/model for a program installed as <prefix>/bin/likeness.
std::optional<fs::path> installedModelDir() {
    std::error_code error;
    const fs::path program = fs::read_symlink("/proc/self/exe", error);
    if (error) return std::nullopt;
    return program.parent_path().parent_path() / LIKENESS_INSTALL_MODEL_SUBDIR;
}

void copyModelFile(const fs::path& from, const fs::path& to) {
    std::error_code error;
    fs::copy_file(from, to, fs::copy_options::overwrite_existing, error);
    if (error) throw std::runtime_error("cannot copy " + from.string() + " to " + to.string() + ": " + error.message());
}

void writeClassNames(const fs::path& file, const ModelClasses& classes) {
    std::ofstream out(file);
    if (!classes.kind.empty()) out << "# " << classes.kind << '\n';
    for (const std::string& name : classes.names) out << name << '\n';
    if (!out.flush()) throw std::runtime_error("cannot write " + file.string());
}

// True when resolved lies below root, or is root itself when that counts.
bool below(const fs::path& root, const fs::path& resolved, bool rootCounts) {
    auto part = resolved.begin();
    for (const fs::path& rootPart : root) {
        if (part == resolved.end() || *part != rootPart) return false;
        ++part;
    }
    return rootCounts || part != resolved.end();
}

// path made absolute against the working directory, with every link and ".." resolved as far as
// it exists; empty when that fails.
fs::path resolved(const fs::path& path) {
    std::error_code error;
    const fs::path absolute = fs::absolute(path, error);
    const fs::path canonical = error ? fs::path() : fs::weakly_canonical(absolute, error);
    return error ? fs::path() : canonical;
}

}  // namespace

bool liesInHome(const fs::path& home, const fs::path& path, bool homeCounts) {
    const fs::path root = resolved(home);
    const fs::path target = resolved(path.empty() ? fs::path(".") : path);
    return !root.empty() && !target.empty() && below(root, target, homeCounts);
}

bool entryLiesInHome(const fs::path& home, const fs::path& path) {
    const std::string name = path.filename().string();
    return !name.empty() && name != "." && name != ".." && liesInHome(home, path.parent_path(), true);
}

fs::path modelFolder(const fs::path& home) {
    return home / fs::path(likeness::kModelNetPath).parent_path();
}

fs::path netFileIn(const fs::path& modelDir) {
    return modelDir / fs::path(likeness::kModelNetPath).filename();
}

fs::path weightsFileIn(const fs::path& modelDir) {
    return modelDir / fs::path(likeness::kModelWeightsPath).filename();
}

bool holdsModel(const fs::path& dir) {
    std::error_code error;
    return fs::is_regular_file(netFileIn(dir), error) && fs::is_regular_file(weightsFileIn(dir), error);
}

std::optional<ModelSource> findModel(const std::string& explicitDir, std::vector<std::string>& tried) {
    if (!explicitDir.empty()) {
        tried.push_back(explicitDir + " (--model)");
        if (holdsModel(explicitDir)) return ModelSource{fs::absolute(explicitDir), "--model", false};
        return std::nullopt;
    }
    if (const char* fromEnvironment = std::getenv("LIKENESS_MODEL_DIR"); fromEnvironment && *fromEnvironment) {
        tried.push_back(std::string(fromEnvironment) + " ($LIKENESS_MODEL_DIR)");
        if (holdsModel(fromEnvironment))
            return ModelSource{fs::absolute(fromEnvironment), "$LIKENESS_MODEL_DIR", false};
        return std::nullopt;
    }
    if (const std::optional<fs::path> installed = installedModelDir()) {
        tried.push_back(installed->lexically_normal().string() + " (installed)");
        if (holdsModel(*installed)) return ModelSource{installed->lexically_normal(), "installed default", true};
    }
    const fs::path sourceTree = LIKENESS_SOURCE_MODEL_DIR;
    tried.push_back(sourceTree.string() + " (source tree)");
    if (holdsModel(sourceTree)) return ModelSource{sourceTree, "source tree default", true};
    return std::nullopt;
}

void createHome(const fs::path& home, const ModelSource& model, bool replace) {
    const fs::path modelDir = modelFolder(home);
    if (holdsModel(modelDir) && !replace)
        throw std::runtime_error(home.string() + " already has a model; add --force to replace it");
    std::error_code error;
    fs::create_directories(modelDir, error);
    if (!error) fs::create_directories(home / "pictures", error);
    if (error) throw std::runtime_error("cannot create " + modelDir.string() + ": " + error.message());
    copyModelFile(netFileIn(model.dir), netFileIn(modelDir));
    copyModelFile(weightsFileIn(model.dir), weightsFileIn(modelDir));
    const fs::path names = model.dir / kClassNamesFile;
    if (fs::is_regular_file(names, error)) {
        copyModelFile(names, modelDir / kClassNamesFile);
    } else if (model.isDefault) {
        writeClassNames(modelDir / kClassNamesFile, kDefaultClasses);
    } else {
        // A stale list from a replaced model would name the wrong classes.
        fs::remove(modelDir / kClassNamesFile, error);
    }
}

std::string runningServiceAddress(const fs::path& home) {
    std::ifstream file(home / kServingFile);
    long pid = 0;
    std::string address;
    if (!(file >> pid >> address) || pid <= 0) return "";
    const bool alive = kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
    return alive ? address : "";
}

ModelClasses modelClasses(const fs::path& home) {
    ModelClasses classes;
    std::ifstream in(modelFolder(home) / kClassNamesFile);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (classes.names.empty() && classes.kind.empty() && line.rfind("# ", 0) == 0) classes.kind = line.substr(2);
        else classes.names.push_back(line);
    }
    return classes;
}

}  // namespace likeness_cli
