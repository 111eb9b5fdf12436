// Turning the paths given to `likeness add` into the pictures to add and where to store them.
#ifndef LIKENESS_HOST_PICTUREFILES_H
#define LIKENESS_HOST_PICTUREFILES_H

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

namespace likeness_cli {

struct PictureToAdd {
    std::string source;   // absolute, so it stays valid after the command enters the home
    std::string saveDir;  // the prefix the library stores it under, ending in "/"
};

// A path that is not added, and why.
struct PassedOver {
    std::string path;  // as given for arguments, absolute for what a walk found
    std::string reason;
};

struct PictureList {
    std::vector<PictureToAdd> pictures;
    std::vector<PassedOver> refused;    // arguments that cannot be added: missing, or not a file or folder
    std::vector<PassedOver> skipped;    // what walked folders hold besides files: links to folders, FIFOs...
    std::vector<PassedOver> noPicture;  // files in walked folders that hold no picture (absolute)
    std::vector<std::string> folders;   // the folder arguments, as given
};

// "pictures" -> "pictures/"; an empty prefix stays empty (the home itself).
std::string folderPrefix(std::string prefix);

// Why a walk does not take the file for a picture, or an empty string when it does: a file named
// as one of the formats the library decodes (module/PictureHeader.h) is taken, so that its add
// says whether it decodes; another when it begins with a whole picture header, size included (a
// JPEG named "horizon") of a size within the pixel budget.
std::string whyNoPicture(const std::filesystem::path& file);

// A file argument is taken as it is, whatever its name, and stored under prefix. A folder argument
// is walked recursively, in name order, for files that hold pictures, stored under prefix, the
// folder's own name and the path inside it, so that two folders holding pic.png give two keys.
// Links to files are followed, links to folders are not (they are reported, as are FIFOs, devices,
// sockets, broken links and folders that cannot be read).
PictureList collectPictures(const std::vector<std::string>& paths, const std::string& prefix);

}  // namespace likeness_cli

#endif
