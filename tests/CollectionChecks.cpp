// The all-or-nothing checks of an add.
// A restart is a second module on the same feature file, built while the first is still open.
#include "CollectionChecks.h"

#include <filesystem>

#include <gtest/gtest.h>

#include "TestSupport.h"

namespace fs = std::filesystem;

namespace {

std::string folderOf(const std::string& key) {
    const std::string folder = fs::path(key).parent_path().string();
    return folder.empty() ? "." : folder;
}

bool loadedAfterRestart(const ImplIModule& module, const std::string& key) {
    return startModule(module.databasePath())->features().count(key) != 0;
}

}  // namespace

ModuleHandle startModule(const std::string& featureFile) {
    return {InitialModule(featureFile), ExitModule};
}

std::vector<std::string> leftoverTemporaries(const std::string& dir) {
    std::vector<std::string> found;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(dir, error)) {
        const std::string name = entry.path().filename().string();
        if (name.find(".partial-") != std::string::npos) found.push_back(name);
    }
    return found;
}

void expectAddedWholly(const ImplIModule& module, const std::string& key, const std::string& storedBytes) {
    EXPECT_EQ(module.features().count(key), 1u) << key << " is in the map";
    EXPECT_TRUE(readFile(key) == storedBytes) << key << " holds the whole picture";
    EXPECT_EQ(leftoverTemporaries(folderOf(key)), std::vector<std::string>{});
    EXPECT_TRUE(loadedAfterRestart(module, key)) << key << " is loaded after a restart";
}

void expectNotAdded(const ImplIModule& module, const std::string& key, const std::string& before) {
    EXPECT_EQ(module.features().count(key), 0u) << key << " is not in the map";
    if (before.empty()) {
        EXPECT_FALSE(fs::exists(key)) << key << " was not created";
    } else {
        EXPECT_TRUE(readFile(key) == before) << key << " keeps what it held";
    }
    EXPECT_EQ(leftoverTemporaries(folderOf(key)), std::vector<std::string>{});
    EXPECT_FALSE(loadedAfterRestart(module, key)) << key << " is not loaded after a restart";
}

std::string pngDeclaring(unsigned width, unsigned height) {
    std::string png("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16);
    for (unsigned side : {width, height}) {
        for (int shift = 24; shift >= 0; shift -= 8) png += static_cast<char>((side >> shift) & 0xFF);
    }
    png += std::string("\x08\x02\x00\x00\x00", 5);
    png += std::string(4, '\0');  // a wrong CRC: nothing may get as far as checking it
    return png + std::string(64, '\0');
}
