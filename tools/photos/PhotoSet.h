// The benchmark's photo set read once in SHA-1 order, with each photo's perceptual hashes, and the
// seeds that make every altered query reproducible; shared by the model tools and the benchmarks.
#ifndef LIKENESS_TOOLS_PHOTOS_PHOTOSET_H
#define LIKENESS_TOOLS_PHOTOS_PHOTOSET_H

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/img_hash.hpp>

// The number of photos scripts/fetch-photos extracts; other counts make scores incomparable.
constexpr std::size_t kExpectedPhotos = 1640;
// The kind of a photo the provenance file does not name.
inline const char* const kDefaultPhotoKind = "photo";

struct Hasher {
    std::string name;
    cv::Ptr<cv::img_hash::ImgHashBase> algorithm;
};

// pHash, block mean and average hash from OpenCV's img_hash module.
std::vector<Hasher> makeHashers();
std::vector<cv::Mat> hashesOf(const cv::Mat& picture, const std::vector<Hasher>& hashers);

struct Photo {
    std::string name;
    std::filesystem::path path;
    std::string sha1;
    int longSide = 0;
    std::string kind;             // from PROVENANCE.tsv's "kind" column, else kDefaultPhotoKind
    std::vector<cv::Mat> hashes;  // one per hasher given to loadPhotos
};

// Every picture file of dir (.jpg, .jpeg, .png, .webp), decoded once for its size and hashes, in
// SHA-1 order, with its kind from dir/PROVENANCE.tsv when that file names it; throws on an
// undecodable file or two identical photos.
std::vector<Photo> loadPhotos(const std::filesystem::path& dir, const std::vector<Hasher>& hashers);

// The seed of the random parts of one altered copy of photo (noise, text placement, perspective).
std::uint64_t querySeed(const Photo& photo, std::size_t transform);

// The photo a pasting transform puts `photo` onto: one of `backdrops` (positions in the photo list)
// picked by the query's seed, never the photo itself; nothing when there is no other.
std::optional<std::size_t> backdropFor(std::size_t photo, std::uint64_t seed,
                                       const std::vector<std::size_t>& backdrops);

// Kinds by photo file name, from a provenance file with a "name" and a "kind" column; empty when
// the file does not exist or has no "kind" column.
std::map<std::string, std::string> readPhotoKinds(const std::filesystem::path& provenance);

#endif
