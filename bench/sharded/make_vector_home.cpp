// make_vector_home: writes a home of synthetic pictures for the sharded benchmark: COUNT records of
// 512 dense signed values of norm 30 (bench/SyntheticFeatures.h) under the keys vectors/v0000000...,
// each with the empty stored file the loader asks for, and a copy of the model from MODEL_DIR.
//
//   make_vector_home HOME COUNT MODEL_DIR [SEED]
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>

#include "SyntheticFeatures.h"
#include "module/FeatureDB.h"

namespace fs = std::filesystem;

namespace {

bool writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t wrote = write(fd, text.data() + done, text.size() - done);
        if (wrote <= 0) return false;
        done += static_cast<std::size_t>(wrote);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4 || argc > 5) {
        std::cerr << "usage: make_vector_home HOME COUNT MODEL_DIR [SEED]\n";
        return 2;
    }
    const fs::path home = argv[1];
    const std::size_t count = std::stoull(argv[2]);
    const fs::path model = argv[3];
    SyntheticFeatures features(argc == 5 ? std::stoull(argv[4]) : 20240611);
    if (fs::exists(home)) {
        std::cerr << "make_vector_home: " << home << " exists already\n";
        return 1;
    }
    fs::create_directories(home / "model");
    fs::create_directories(home / "vectors");
    fs::copy_file(model / "v0.net", home / "model" / "v0.net");
    fs::copy_file(model / "v0.dat", home / "model" / "v0.dat");
    const int database = open((home / "feat.txt").c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (database < 0) {
        std::cerr << "make_vector_home: cannot create " << (home / "feat.txt") << "\n";
        return 1;
    }
    std::string records;
    char key[32];
    for (std::size_t i = 0; i < count; ++i) {
        std::snprintf(key, sizeof key, "vectors/v%07zu", i);
        const int stored = open((home / key).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (stored < 0 || close(stored) != 0) {
            std::cerr << "make_vector_home: cannot create " << (home / key) << "\n";
            return 1;
        }
        appendFeatureRecord(records, key, features.next());
        if (records.size() > (64u << 20) || i + 1 == count) {
            if (!writeAll(database, records)) {
                std::cerr << "make_vector_home: cannot write " << (home / "feat.txt") << "\n";
                return 1;
            }
            records.clear();
        }
    }
    close(database);
    std::cout << "make_vector_home: " << count << " records in " << home.string() << std::endl;
    return 0;
}
