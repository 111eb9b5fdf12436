// A small host: adds the pictures named on its command line to the collection in the working
// folder (copies in pics/), then prints the five stored pictures nearest to the first one.
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "module/Module.h"

const char* meaning(int code) {
    switch (code) {
    case 0: return "added";
    case -1: return "already in the collection";
    case -3: return "not a decodable picture";
    case -4: return "not stored (unsafe key, or the copy or its record could not be written)";
    default: return "unexpected result";
    }
}

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << "usage: host PICTURE...\n";
        return 2;
    }
    std::filesystem::create_directories("pics");      // the library writes files, not folders
    ImplIModule* module = InitialModule("feat.txt");  // reads model/v0.net and model/v0.dat
    IModule& collection = *module;                    // the operations are called through IModule
    int failed = 0;
    for (int i = 1; i < argc; ++i) {
        const int code = collection.addAPicToDB(argv[i], "pics/");
        std::cout << argv[i] << ": " << code << " " << meaning(code) << "\n";
        if (code < -1) ++failed;
    }
    std::vector<std::string> nearest;
    const int found = collection.search(argv[1], 1, nearest, 5);  // type 1: a local path
    if (found < 0) std::cerr << argv[1] << ": search failed with " << found << "\n";
    for (const std::string& key : nearest) std::cout << key << "\n";
    ExitModule(module);
    return failed > 0 || found < 0 ? 1 : 0;
}
