// collection_probe: runs calls of likeness::Collection in a home and prints what each returned, one
// JSON line per call, every float as C's %a so that the Python module's answers can be compared
// with the C++ API's bit for bit. Usage: collection_probe HOME CALL... where each CALL is one
// argument, its parts separated by spaces:
//   add-file PATH FOLDER | add-bytes PATH KEY | search-file PATH N | search-bytes PATH N |
//   search-vector KEY N | extract-file PATH | vector KEY | near-pairs BELOW | same-picture-pairs |
//   remove KEY | keys
// Paths are taken as given, after the probe has moved into HOME.
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "module/Collection.h"

namespace {

using json = nlohmann::ordered_json;

std::string hexFloat(float value) {
    char text[64];
    std::snprintf(text, sizeof(text), "%a", static_cast<double>(value));
    return text;
}

json floats(const std::vector<float>& values) {
    json list = json::array();
    for (float value : values) list.push_back(hexFloat(value));
    return list;
}

std::vector<unsigned char> fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

json added(const likeness::AddOutcome& outcome) {
    static const char* const names[] = {"added",         "already_present", "download_failed",
                                        "not_decodable", "key_refused",     "not_stored"};
    return {{"key", outcome.key}, {"result", names[static_cast<int>(outcome.result)]}, {"reason", outcome.reason}};
}

json found(const likeness::SearchOutcome& outcome) {
    json matches = json::array();
    for (const likeness::Match& match : outcome.matches) matches.push_back({match.key, hexFloat(match.distance)});
    return {{"reason", outcome.reason}, {"matches", matches}};
}

json pairs(const std::vector<likeness::NearPair>& near) {
    json list = json::array();
    for (const likeness::NearPair& pair : near) list.push_back({*pair.first, *pair.second, hexFloat(pair.distance)});
    return list;
}

json run(likeness::Collection& collection, const std::vector<std::string>& call) {
    const std::string& name = call.at(0);
    if (name == "add-file") return added(collection.addFile(call.at(1), call.at(2)));
    if (name == "add-bytes") return added(collection.addBytes(fileBytes(call.at(1)), "", call.at(2)));
    if (name == "search-file") return found(collection.searchFile(call.at(1), std::stoi(call.at(2))));
    if (name == "search-bytes") return found(collection.searchBytes(fileBytes(call.at(1)), std::stoi(call.at(2))));
    if (name == "search-vector")
        return found(collection.searchVector(*collection.vectorOf(call.at(1)), std::stoi(call.at(2))));
    if (name == "extract-file") return floats(collection.extractFile(call.at(1)).vector);
    if (name == "vector") return floats(*collection.vectorOf(call.at(1)));
    if (name == "near-pairs") return pairs(collection.nearPairs(std::stof(call.at(1))));
    if (name == "same-picture-pairs") return pairs(collection.samePicturePairs());
    if (name == "remove") return collection.remove({call.at(1)}).removed;
    if (name == "keys") return collection.keys();
    throw std::invalid_argument("unknown call " + name);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || chdir(argv[1]) != 0) {
        std::cerr << "usage: collection_probe HOME CALL...\n";
        return 2;
    }
    likeness::Collection collection;
    for (int i = 2; i < argc; ++i) {
        std::istringstream parts(argv[i]);
        const std::vector<std::string> call(std::istream_iterator<std::string>(parts), {});
        std::cout << run(collection, call).dump() << "\n";
    }
    return 0;
}
