// The reference loader and writer: std::getline, trimStr, splitStr, strtod and ostringstream,
// and the key checked with stat and unsafeKeyReason for every record.
#include "LiteralFeatureFile.h"

#include <sys/stat.h>

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "module/FeatureLoader.h"
#include "module/KeySafety.h"
#include "module/StringUtil.h"

KeyTest literalKeyTest(const std::string& dbPath, const std::string& logPath) {
    return [dbPath, logPath](const std::string& key) {
        struct stat status;
        if (key.find('\0') != std::string::npos) return false;
        if (stat(key.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return false;
        return unsafeKeyReason(key, dbPath, logPath).empty();
    };
}

bool literalValue(const std::string& field, float& value) {
    char* stop = nullptr;
    const double wide = std::strtod(field.c_str(), &stop);
    value = static_cast<float>(wide);
    if (stop == field.c_str() || stop != field.c_str() + field.size()) return false;
    if (!std::isinf(value)) return true;
    std::size_t at = 0;
    while (at < field.size() && std::isspace(static_cast<unsigned char>(field[at]))) ++at;
    if (at < field.size() && (field[at] == '+' || field[at] == '-')) ++at;
    return at < field.size() && std::tolower(static_cast<unsigned char>(field[at])) == 'i';
}

LiteralCollection literalLoad(const std::string& path, int featDim, const KeyTest& keyLoads, bool* opened) {
    LiteralCollection collection;
    std::ifstream in(path, std::ios::binary);
    if (opened != nullptr) *opened = in.is_open();
    std::string line;
    std::vector<std::string> tokens;
    while (std::getline(in, line)) {
        if (line.size() > kMaxRecordLineBytes) continue;
        trimStr(line);
        if (line.empty() || line.back() != '|') continue;
        tokens.clear();
        splitStr(line, tokens, "|");
        if (tokens.size() != static_cast<std::size_t>(featDim) + 1) continue;
        std::vector<float> feature;
        bool numbers = true;
        for (std::size_t i = 1; i < tokens.size(); ++i) {
            float value = 0;
            numbers = literalValue(tokens[i], value) && numbers;
            feature.push_back(value);
        }
        if (!numbers || !keyLoads(tokens[0])) continue;
        collection[tokens[0]] = feature;
    }
    return collection;
}

std::string literalRecord(const std::string& key, const std::vector<float>& feat) {
    std::ostringstream record;
    record << key << "|";
    for (float value : feat) record << static_cast<double>(value) << "|";
    record << "\n";
    return record.str();
}
