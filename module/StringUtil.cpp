// Trimming and splitting for the loader of the feature file.
// splitStr never yields an empty token: separators collapse.
#include "module/StringUtil.h"

void trimStr(std::string& s) {
    if (s.empty()) return;
    s.erase(0, s.find_first_not_of(' '));
    const std::string::size_type last = s.find_last_not_of(' ');
    s.erase(last == std::string::npos ? 0 : last + 1);
}

void splitStr(std::string s, std::vector<std::string>& out, std::string seps) {
    std::string::size_type start = s.find_first_not_of(seps);
    while (start != std::string::npos) {
        const std::string::size_type end = s.find_first_of(seps, start);
        out.push_back(s.substr(start, end == std::string::npos ? std::string::npos : end - start));
        start = end == std::string::npos ? end : s.find_first_not_of(seps, end);
    }
}
