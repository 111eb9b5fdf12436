// The size index of the stored files and the byte comparison.
#include "StoredFiles.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace likeness_cli {

void StoredFiles::index() {
    indexed = true;
    for (const auto& entry : features) {
        std::error_code error;
        const std::uintmax_t size = std::filesystem::file_size(entry.first, error);
        if (!error) bySize.emplace(size, std::make_pair(entry.first, entry.first));
    }
}

std::string StoredFiles::identicalTo(const std::string& file, const std::string& preferredKey) {
    if (!indexed) index();
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(file, error);
    if (error) return "";
    const auto [begin, end] = bySize.equal_range(size);
    std::string found;
    for (auto it = begin; it != end; ++it) {
        const auto& [key, bytesOf] = it->second;
        if (features.count(key) == 0) continue;  // taken out of the collection since
        if ((found.empty() || key == preferredKey) && sameBytes(bytesOf, file)) found = key;
        if (!found.empty() && found == preferredKey) break;
    }
    return found;
}

void StoredFiles::remember(const std::string& key, const std::string& source) {
    if (!indexed) index();
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(source, error);
    if (!error) bySize.emplace(size, std::make_pair(key, source));
}

bool sameBytes(const std::string& a, const std::string& b) {
    std::ifstream first(a, std::ios::binary);
    std::ifstream second(b, std::ios::binary);
    if (!first || !second) return false;
    constexpr std::streamsize kBlock = 1 << 16;
    std::vector<char> left(kBlock);
    std::vector<char> right(kBlock);
    while (true) {
        first.read(left.data(), kBlock);
        second.read(right.data(), kBlock);
        const std::streamsize got = first.gcount();
        if (got != second.gcount()) return false;
        if (!std::equal(left.begin(), left.begin() + got, right.begin())) return false;
        if (got < kBlock) return first.eof() && second.eof();
    }
}

}  // namespace likeness_cli
