// Helpers of the subcommands.
#include "CommandSupport.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <iomanip>
#include <iostream>
#include <iterator>
#include <sstream>

#include "Home.h"
#include "PictureFiles.h"
#include "log/EasyLog.h"
#include "module/CollectionFiles.h"
#include "module/FeatureContract.h"

namespace fs = std::filesystem;

namespace likeness_cli {

void complain(const std::string& message) {
    std::cerr << "likeness: " << message << std::endl;
}

std::optional<fs::path> enterHome(const std::string& home) {
    std::error_code error;
    const fs::path absoluteHome = fs::absolute(home, error).lexically_normal();
    if (!fs::is_directory(absoluteHome, error)) {
        complain("the home " + home + " is not a folder; create it with: likeness init " + home);
        return std::nullopt;
    }
    if (!holdsModel(modelFolder(absoluteHome))) {
        complain(absoluteHome.string() + " has no model (" + likeness::kModelNetPath + " and " +
                 likeness::kModelWeightsPath + "); set it up with: likeness init " + home);
        return std::nullopt;
    }
    if (chdir(absoluteHome.c_str()) != 0) {
        complain("cannot enter " + absoluteHome.string());
        return std::nullopt;
    }
    return absoluteHome;
}

std::optional<likeness::WriterLock> lockHome(const fs::path& home) {
    std::string whyNot;
    std::optional<likeness::WriterLock> lock = likeness::WriterLock::acquire(home.string(), whyNot);
    if (!lock && errno == EWOULDBLOCK) {
        const std::string service = runningServiceAddress(home);
        whyNot =
            service.empty()
                ? "another likeness process is writing the home " + home.string() + "; try again when it has finished"
                : "likeness serve is running on the home " + home.string() +
                      " and writes it for as long as it runs: stop it, or add and remove through its page or "
                      "HTTP API at " +
                      service;
    }
    if (!lock) complain(whyNot);
    return lock;
}

std::string shellWord(const std::string& text) {
    const auto plain = [](unsigned char c) {
        return std::isalnum(c) || (c != 0 && std::strchr("_./+:,@%=-", c) != nullptr);
    };
    if (!text.empty() && std::all_of(text.begin(), text.end(), plain)) return text;
    std::string quoted = "'";
    for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::string byteSize(std::uintmax_t bytes) {
    const char* const units[] = {"bytes", "KiB", "MiB", "GiB"};
    double value = static_cast<double>(bytes);
    std::size_t unit = 0;
    while (value >= 1024 && unit + 1 < std::size(units)) {
        value /= 1024;
        ++unit;
    }
    std::ostringstream text;
    if (unit == 0) text << bytes << " bytes";
    else text << std::fixed << std::setprecision(1) << value << " " << units[unit];
    return text.str();
}

std::string PathDisplay::operator()(const std::string& path) const {
    const fs::path relative = fs::path(path).lexically_relative(start);
    const bool below = !relative.empty() && *relative.begin() != "..";
    return below ? relative.string() : path;
}

bool isUrl(const std::string& text) {
    return text.rfind("http://", 0) == 0 || text.rfind("https://", 0) == 0;
}

void ensureFolder(const std::string& saveDir, std::set<std::string>& created) {
    if (saveDir.empty() || !created.insert(saveDir).second) return;
    std::error_code ignored;  // a folder that cannot be made shows up as the library's "not stored"
    fs::create_directories(saveDir, ignored);
}

bool intoAccepted(const std::string& prefix, bool force) {
    if (force) return true;
    const fs::path folder = fs::path(prefix).lexically_normal();
    std::string problem;
    if (folder.is_absolute())
        problem = "is an absolute path: the keys would name places outside the home and break when it moves";
    else if (!folder.empty() && *folder.begin() == "..") problem = "climbs out of the home";
    if (problem.empty()) return true;
    complain("--into " + prefix + " " + problem + "; name a folder inside the home, or add --force");
    return false;
}

std::vector<PictureArgument> pictureArguments(const std::vector<std::string>& arguments, const fs::path& start,
                                              const PathDisplay& display) {
    std::vector<PictureArgument> pictures;
    for (const std::string& argument : arguments) {
        std::error_code error;
        fs::path path = (start / argument).lexically_normal();
        if (!isUrl(argument) && !fs::exists(path, error) && fs::path(argument).is_relative() &&
            fs::exists(argument, error))
            path = fs::absolute(argument).lexically_normal();
        if (isUrl(argument)) {
            pictures.push_back({argument, argument, ""});
        } else if (!fs::exists(path, error)) {
            pictures.push_back({argument, path.string(), "no such file"});
        } else if (!fs::is_directory(path, error)) {
            const std::string unreadable = unreadableReason(path.string());
            pictures.push_back({argument, path.string(), unreadable.empty() ? "" : "cannot read: " + unreadable});
        } else {
            const PictureList found = collectPictures({path.string()}, "");
            if (found.pictures.empty()) pictures.push_back({argument, path.string(), "a folder with no picture in it"});
            for (const PictureToAdd& picture : found.pictures)
                pictures.push_back({display(picture.source), picture.source, ""});
        }
    }
    return pictures;
}

std::string unreadableReason(const std::string& file) {
    // Non-blocking, so that a FIFO that slipped through cannot hang the command.
    const int fd = open(file.c_str(), O_RDONLY | O_NONBLOCK);
    if (fd < 0) return std::strerror(errno);
    close(fd);
    return "";
}

void reportAdd(Progress& progress, const Outcome& outcome, bool everyOutcome, Tally& tally) {
    switch (outcome.verdict) {
    case Verdict::Added:
        tally.count(outcome.verdict);
        if (everyOutcome) progress.note(std::cout, outcome.line);
        break;
    case Verdict::Duplicate:
        if (everyOutcome) {
            tally.count(outcome.verdict);
            progress.note(std::cerr, outcome.line);
        } else {
            tally.countUnlistedDuplicate();
        }
        break;
    case Verdict::Failed:
        tally.count(outcome.verdict);
        progress.note(std::cerr, outcome.line);
        break;
    }
}

std::string logShown(const PathDisplay& display) {
    return display(EasyLog::GetInstance()->FilePath());
}

}  // namespace likeness_cli
