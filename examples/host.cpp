// A minimal host of the likeness library: adds the pictures named on the command line to the
// collection in the current folder, then prints the five stored pictures nearest to the first.
#include <iostream>
#include <string>
#include <vector>

#include "module/Module.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << "usage: host PICTURE...\n";
        return 2;
    }
    ImplIModule* module = InitialModule("feat.txt");  // reads model/v0.net and model/v0.dat
    IModule& collection = *module;                    // the operations are called through IModule
    for (int i = 1; i < argc; ++i)
        std::cout << argv[i] << ": " << collection.addAPicToDB(argv[i], "") << "\n";  // 0 added, -1 present
    std::vector<std::string> nearest;
    const int found = collection.search(argv[1], 1, nearest, 5);
    for (const std::string& key : nearest) std::cout << key << "\n";
    ExitModule(module);
    return found < 0 ? 1 : 0;
}
