// Walking folders for pictures.
#include "PictureFiles.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace fs = std::filesystem;

namespace likeness_cli {

std::string folderPrefix(std::string prefix) {
    if (!prefix.empty() && prefix.back() != '/') prefix += '/';
    return prefix;
}

bool hasPictureName(const fs::path& file) {
    static const std::array<const char*, 15> kExtensions = {".jpg", ".jpeg", ".jpe", ".png", ".bmp",
                                                            ".dib", ".webp", ".tif", ".tiff", ".pbm",
                                                            ".pgm", ".ppm", ".pnm", ".jp2", ".sr"};
    std::string extension = file.extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return std::find(kExtensions.begin(), kExtensions.end(), extension) != kExtensions.end();
}

PictureList collectPictures(const std::vector<std::string>& paths, const std::string& prefix) {
    PictureList list;
    for (const std::string& path : paths) {
        std::error_code error;
        fs::path root = fs::absolute(path, error).lexically_normal();
        // "photos/" normalises to a path with an empty last segment, which relative paths trip on.
        if (root.has_parent_path() && root.filename().empty()) root = root.parent_path();
        if (fs::is_regular_file(root, error)) {
            list.pictures.push_back({root.string(), prefix});
            continue;
        }
        if (!fs::is_directory(root, error)) {
            list.missing.push_back(path);
            continue;
        }
        std::vector<fs::path> files;
        for (fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, error), end;
             !error && it != end; it.increment(error)) {
            if (!it->is_regular_file(error)) continue;
            if (hasPictureName(it->path()))
                files.push_back(it->path());
            else
                ++list.skippedFiles;
        }
        std::sort(files.begin(), files.end());
        for (const fs::path& file : files) {
            const fs::path subfolder = file.parent_path().lexically_relative(root);
            const std::string saveDir =
                subfolder == "." ? prefix : folderPrefix(prefix + subfolder.generic_string());
            list.pictures.push_back({file.string(), saveDir});
        }
    }
    return list;
}

}  // namespace likeness_cli
