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

struct PictureList {
    std::vector<PictureToAdd> pictures;
    std::vector<std::string> missing;  // paths that name neither a file nor a folder
    std::size_t skippedFiles = 0;      // files in walked folders whose names are not pictures'
};

// "pictures" -> "pictures/"; an empty prefix stays empty (the home itself).
std::string folderPrefix(std::string prefix);

// True for the file name endings of the formats OpenCV decodes.
bool hasPictureName(const std::filesystem::path& file);

// A file is taken as it is, whatever its name. A folder is walked recursively, in name order,
// for files with picture names, and each subfolder is mirrored under prefix, so pictures of the
// same name in different subfolders get different keys.
PictureList collectPictures(const std::vector<std::string>& paths, const std::string& prefix);

}  // namespace likeness_cli

#endif
