// `likeness add`: picture files, or folders walked for pictures. One line per problem (and per
// picture when asked), and the rest go on whatever one picture does, an exception from OpenCV
// included.
#include <iostream>

#include <CLI/CLI.hpp>

#include "CommandSupport.h"
#include "Home.h"
#include "PictureAdder.h"
#include "PictureFiles.h"
#include "Progress.h"
#include "commands/Commands.h"

namespace likeness_cli {
namespace {

struct AddOptions {
    std::vector<std::string> paths;
    std::string into = "pictures/";
    bool allowCopies = false;  // store a file even when a stored picture has the same bytes
    bool force = false;        // accept an --into outside the home
};

std::string joined(const std::vector<std::string>& parts) {
    std::string text;
    for (const std::string& part : parts) text += (text.empty() ? "" : ", ") + part;
    return text;
}

// " (2 files that hold no picture skipped; -v names them)", or nothing when there were none.
std::string noPictureNote(const PictureList& list, bool verbose) {
    const std::size_t count = list.noPicture.size();
    if (count == 0) return "";
    return " (" + std::to_string(count) + (count == 1 ? " file that holds" : " files that hold") +
           " no picture skipped" +
           (verbose      ? ""
            : count == 1 ? "; -v names it"
                         : "; -v names them") +
           ")";
}

int runAdd(const GlobalOptions& global, const AddOptions& options) {
    const PathDisplay display;
    const std::string prefix = folderPrefix(options.into);
    if (!intoAccepted(prefix, options.force)) return kExitUsage;
    const PictureList list = collectPictures(options.paths, prefix);
    const std::optional<std::filesystem::path> home = enterHome(global.home);
    if (!home) return kExitUsage;
    const std::optional<likeness::WriterLock> lock = lockHome(*home);
    if (!lock) return kExitUsage;
    Tally tally;
    for (const PassedOver& refused : list.refused) {
        std::cerr << refused.path << ": " << refused.reason << std::endl;
        tally.countFailure();
    }
    for (const PassedOver& skipped : list.skipped)
        std::cerr << display(skipped.path) << ": " << skipped.reason << std::endl;
    if (global.verbose)
        for (const PassedOver& file : list.noPicture)
            std::cerr << display(file.path) << ": " << file.reason << std::endl;
    if (list.pictures.empty() && list.refused.empty()) {
        complain("no picture files found in " + joined(list.folders) + noPictureNote(list, global.verbose));
        return kExitSomeFailed;
    }
    // A folder is a batch whatever it holds: a summary, and a line per picture only when asked.
    const bool several = list.pictures.size() + list.refused.size() > 1 || !list.folders.empty();
    {
        Collection collection;
        PictureAdder adder(collection, options.allowCopies, display);
        Progress progress("adding", list.pictures.size(), global.quiet);
        std::set<std::string> createdFolders;
        for (const PictureToAdd& picture : list.pictures) {
            if (!options.force && !liesInHome(*home, picture.saveDir, true)) {
                progress.note(std::cerr, display(picture.source) + ": not stored: " + picture.saveDir +
                                             " leads out of the home through a symbolic link (--force stores there)");
                tally.countFailure();
                progress.advance();
                continue;
            }
            ensureFolder(picture.saveDir, createdFolders);
            reportAdd(progress, adder.add(picture), global.verbose || !several, tally);
            progress.advance();
        }
    }
    if (several) std::cout << tally.summary() << noPictureNote(list, global.verbose) << std::endl;
    return tally.exitStatus();
}

class AddCommand final : public Command {
public:
    void define(CLI::App& command) override {
        command.description("Add picture files, or folders searched recursively for pictures");
        command.add_option("PATH", options.paths, "Picture files and folders")->required();
        command
            .add_option("--into", options.into,
                        "Folder of the home the copies are stored in; a folder argument's own name and the path "
                        "inside it follow")
            ->capture_default_str();
        command.add_flag("--allow-copies", options.allowCopies,
                         "Store a file even when a stored picture holds the same bytes under another name");
        command.add_flag("--force", options.force,
                         "Accept an --into outside the home (absolute, or climbing out with ..)");
    }
    int run(const GlobalOptions& global) override { return runAdd(global, options); }

private:
    AddOptions options;
};

}  // namespace

std::unique_ptr<Command> makeAddCommand() {
    return std::make_unique<AddCommand>();
}

}  // namespace likeness_cli
