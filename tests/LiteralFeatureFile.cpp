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

namespace {

// Whether line (trimmed in place) is a record of featDim values; its fields in tokens (the key
// first), and its values appended to feature when it is given.
bool literalRecordOf(std::string& line, int featDim, std::vector<std::string>& tokens, std::vector<float>* feature) {
    if (line.size() > kMaxRecordLineBytes) return false;
    trimStr(line);
    if (line.empty() || line.back() != '|') return false;
    tokens.clear();
    splitStr(line, tokens, "|");
    if (tokens.size() != static_cast<std::size_t>(featDim) + 1) return false;
    bool numbers = true;
    for (std::size_t i = 1; i < tokens.size(); ++i) {
        float value = 0;
        numbers = literalValue(tokens[i], value) && numbers;
        if (feature != nullptr) feature->push_back(value);
    }
    return numbers;
}

}  // namespace

bool literalRecordKey(std::string line, int featDim, std::string& key) {
    std::vector<std::string> tokens;
    if (!literalRecordOf(line, featDim, tokens, nullptr)) return false;
    key = tokens[0];
    return true;
}

LiteralCollection literalLoad(const std::string& path, int featDim, const KeyTest& keyLoads, bool* opened) {
    LiteralCollection collection;
    std::ifstream in(path, std::ios::binary);
    if (opened != nullptr) *opened = in.is_open();
    std::string line;
    std::vector<std::string> tokens;
    while (std::getline(in, line)) {
        std::vector<float> feature;
        if (!literalRecordOf(line, featDim, tokens, &feature) || !keyLoads(tokens[0])) continue;
        collection[tokens[0]] = feature;
    }
    return collection;
}

std::string literalCompaction(const std::string& path, int featDim, const KeyTest& keyLoads, RewriteCounts& counts,
                              std::vector<std::string>& goneKeys) {
    counts = RewriteCounts();
    std::vector<std::string> lines;
    std::ifstream in(path, std::ios::binary);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    std::vector<std::string> keys(lines.size());
    std::vector<bool> records(lines.size());
    std::map<std::string, std::size_t> lastLine;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        records[i] = literalRecordKey(lines[i], featDim, keys[i]);
        if (records[i]) lastLine[keys[i]] = i;
    }
    std::string text;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (!records[i]) {
            ++counts.torn;
        } else if (lastLine[keys[i]] != i) {
            ++counts.duplicates;
        } else if (!keyLoads(keys[i])) {
            ++counts.missing;
            goneKeys.push_back(keys[i]);
        } else {
            ++counts.kept;
            text += lines[i] + "\n";
        }
    }
    return text;
}

std::string literalRecord(const std::string& key, const std::vector<float>& feat) {
    std::ostringstream record;
    record << key << "|";
    for (float value : feat) record << static_cast<double>(value) << "|";
    record << "\n";
    return record.str();
}
