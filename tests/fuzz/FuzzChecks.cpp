// The checks behind the fuzz targets: the fast paths against the plain references, in a folder
// prepared with the files the records may name.
#include "FuzzChecks.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <vector>

#include "LiteralFeatureFile.h"
#include "log/EasyLog.h"
#include "module/FeatureDB.h"
#include "module/FeatureLoader.h"
#include "module/StringUtil.h"

namespace fs = std::filesystem;

namespace {

const char* const kDatabase = "db.txt";

void writeText(const std::string& path, const char* data, std::size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data, static_cast<std::streamsize>(size));
}

std::map<std::string, std::vector<float>> loadFast(int featDim) {
    std::map<std::string, std::vector<float>> collection;
    loadFeatureFile(kDatabase, featDim, KeyRules(kDatabase, EasyLog::GetInstance()->FilePath()), collection);
    return collection;
}

bool sameBits(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

}  // namespace

void prepareFuzzFolder() {
    fs::create_directories("dir");
    fs::create_directories("sub");
    for (const char* name : {"a", "b", "sub/c", "tmp.jpg"}) writeText(name, "x", 1);
    std::error_code exists;
    fs::create_symlink("a", "link", exists);
    fs::create_symlink("dir", "dlink", exists);
    fs::create_symlink(kDatabase, "dblink", exists);
}

int enterFuzzFolder() {
    std::string folder = (fs::temp_directory_path() / "likeness-fuzz-XXXXXX").string();
    if (mkdtemp(&folder[0]) == nullptr) std::abort();
    fs::current_path(folder);
    prepareFuzzFolder();
    return 0;
}

int stopOnProblem(const char* target, const std::string& problem) {
    if (problem.empty()) return 0;
    std::fprintf(stderr, "%s: %s\n", target, problem.c_str());
    std::abort();
}

std::string checkLoaderAgainstReference(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return "";
    const int featDim = 1 + data[0] % 4;
    writeText(kDatabase, reinterpret_cast<const char*>(data) + 1, size - 1);
    const auto fast = loadFast(featDim);
    const auto literal = literalLoad(kDatabase, featDim, literalKeyTest(kDatabase, EasyLog::GetInstance()->FilePath()));
    if (fast.size() != literal.size()) {
        return "loaded " + std::to_string(fast.size()) + " records, the reference " + std::to_string(literal.size());
    }
    for (auto f = fast.begin(), l = literal.begin(); f != fast.end(); ++f, ++l) {
        if (f->first != l->first) return "key \"" + f->first + "\" where the reference has \"" + l->first + "\"";
        if (!sameBits(f->second, l->second)) return "other values for \"" + f->first + "\"";
    }
    return "";
}

std::string checkRecordRoundTrip(const std::uint8_t* data, std::size_t size) {
    std::vector<float> values(size / sizeof(float));
    if (values.empty()) return "";
    std::memcpy(values.data(), data, values.size() * sizeof(float));
    const std::string record = featureRecord("a", values);
    if (record != literalRecord("a", values)) return "record text differs from the stream's: " + record;
    std::vector<std::string> fields;
    splitStr(record.substr(0, record.size() - 1), fields, "|");
    std::vector<float> expected;
    for (std::size_t i = 1; i < fields.size(); ++i) {
        float value = 0;
        if (!literalValue(fields[i], value)) return "the writer wrote a field strtod refuses: " + fields[i];
        expected.push_back(value);
    }
    writeText(kDatabase, record.data(), record.size());
    const auto loaded = loadFast(static_cast<int>(values.size()));
    if (loaded.count("a") == 0) return "the record did not load: " + record;
    if (!sameBits(loaded.at("a"), expected)) return "the record loaded other values: " + record;
    return "";
}
