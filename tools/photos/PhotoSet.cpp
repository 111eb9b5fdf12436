#include "PhotoSet.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

#include <opencv2/imgcodecs.hpp>

#include "Progress.h"
#include "Sha1.h"

namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t kQuerySeed = 20261208;

std::string readBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool isPictureFile(const fs::path& path) {
    std::string extension = path.extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return extension == ".jpg" || extension == ".jpeg" || extension == ".png" || extension == ".webp";
}

}  // namespace

std::vector<Hasher> makeHashers() {
    return {{"pHash", cv::img_hash::PHash::create()},
            {"blockMean", cv::img_hash::BlockMeanHash::create()},
            {"averageHash", cv::img_hash::AverageHash::create()}};
}

std::vector<cv::Mat> hashesOf(const cv::Mat& picture, const std::vector<Hasher>& hashers) {
    std::vector<cv::Mat> hashes;
    for (const Hasher& hasher : hashers) {
        cv::Mat hash;
        hasher.algorithm->compute(picture, hash);
        hashes.push_back(hash);
    }
    return hashes;
}

std::map<std::string, std::string> readPhotoKinds(const fs::path& provenance) {
    std::map<std::string, std::string> kinds;
    std::ifstream in(provenance);
    std::string line;
    if (!std::getline(in, line)) return kinds;
    const auto columnsOf = [](const std::string& text) {
        std::vector<std::string> columns;
        std::stringstream fields(text);
        std::string field;
        while (std::getline(fields, field, '\t')) columns.push_back(field);
        return columns;
    };
    const std::vector<std::string> header = columnsOf(line);
    const auto nameColumn = std::find(header.begin(), header.end(), "name") - header.begin();
    const auto kindColumn = std::find(header.begin(), header.end(), "kind") - header.begin();
    if (nameColumn == static_cast<std::ptrdiff_t>(header.size()) ||
        kindColumn == static_cast<std::ptrdiff_t>(header.size()))
        return kinds;
    while (std::getline(in, line)) {
        const std::vector<std::string> columns = columnsOf(line);
        if (static_cast<std::ptrdiff_t>(columns.size()) > std::max(nameColumn, kindColumn))
            kinds[columns[nameColumn]] = columns[kindColumn];
    }
    return kinds;
}

std::vector<Photo> loadPhotos(const fs::path& dir, const std::vector<Hasher>& hashers) {
    const std::map<std::string, std::string> kinds = readPhotoKinds(dir / "PROVENANCE.tsv");
    std::vector<fs::path> paths;
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (entry.is_regular_file() && isPictureFile(entry.path())) paths.push_back(entry.path());
    }
    std::vector<Photo> photos;
    Progress progress("reading photos", paths.size());
    for (const fs::path& path : paths) {
        const std::string bytes = readBytes(path);
        const cv::Mat picture = cv::imdecode(
            cv::Mat(1, static_cast<int>(bytes.size()), CV_8U, const_cast<char*>(bytes.data())), cv::IMREAD_COLOR);
        if (picture.empty()) throw std::runtime_error("not a decodable picture: " + path.string());
        const auto kind = kinds.find(path.filename().string());
        photos.push_back({path.filename().string(), path, sha1Hex(bytes), std::max(picture.cols, picture.rows),
                          kind == kinds.end() ? kDefaultPhotoKind : kind->second, hashesOf(picture, hashers)});
        progress.advance();
    }
    std::sort(photos.begin(), photos.end(), [](const Photo& a, const Photo& b) { return a.sha1 < b.sha1; });
    for (std::size_t i = 1; i < photos.size(); ++i) {
        if (photos[i].sha1 == photos[i - 1].sha1) {
            throw std::runtime_error("identical photos " + photos[i - 1].name + " and " + photos[i].name);
        }
    }
    return photos;
}

std::uint64_t querySeed(const Photo& photo, std::size_t transform) {
    return kQuerySeed ^ std::stoull(photo.sha1.substr(0, 15), nullptr, 16) ^ (transform * 0x9E3779B97F4A7C15ull);
}

std::optional<std::size_t> backdropFor(std::size_t photo, std::uint64_t seed,
                                       const std::vector<std::size_t>& backdrops) {
    std::vector<std::size_t> others;
    for (std::size_t candidate : backdrops)
        if (candidate != photo) others.push_back(candidate);
    if (others.empty()) return std::nullopt;
    return others[seed % others.size()];
}
