// Union-find over the pairs, and the keep rules.
#include "Duplicates.h"

#include <sys/stat.h>

#include <algorithm>
#include <ctime>
#include <map>
#include <numeric>
#include <tuple>

#include "module/Distance.h"

namespace likeness_cli {
namespace {

class DisjointSets {
public:
    explicit DisjointSets(std::size_t count) : parent(count) { std::iota(parent.begin(), parent.end(), 0); }

    std::size_t root(std::size_t item) {
        while (parent[item] != item) {
            parent[item] = parent[parent[item]];
            item = parent[item];
        }
        return item;
    }

    void join(std::size_t a, std::size_t b) {
        // The smaller root wins, so that a group's root is its first key and the result depends on
        // nothing but the pairs.
        const std::size_t rootA = root(a);
        const std::size_t rootB = root(b);
        if (rootA < rootB) parent[rootB] = rootA;
        else parent[rootA] = rootB;
    }

private:
    std::vector<std::size_t> parent;
};

}  // namespace

std::vector<DuplicateGroup> groupPairs(const std::vector<likeness::NearPair>& pairs) {
    // Every key of a pair, numbered in key order.
    std::map<std::string, std::size_t> number;
    for (const likeness::NearPair& pair : pairs) {
        number.emplace(*pair.first, 0);
        number.emplace(*pair.second, 0);
    }
    std::vector<const std::string*> keys;
    for (auto& [key, n] : number) {
        n = keys.size();
        keys.push_back(&key);
    }
    DisjointSets sets(keys.size());
    for (const likeness::NearPair& pair : pairs) sets.join(number.at(*pair.first), number.at(*pair.second));

    std::map<std::size_t, DuplicateGroup> byRoot;
    std::vector<std::size_t> placeInGroup(keys.size());
    for (std::size_t n = 0; n < keys.size(); ++n) {
        DuplicateGroup& group = byRoot[sets.root(n)];
        placeInGroup[n] = group.members.size();
        group.members.push_back({*keys[n], std::nullopt});
    }
    for (const likeness::NearPair& pair : pairs) {
        const std::size_t first = number.at(*pair.first);
        const std::size_t second = number.at(*pair.second);
        byRoot[sets.root(first)].pairs.push_back({placeInGroup[first], placeInGroup[second], pair.distance});
    }
    std::vector<DuplicateGroup> groups;
    for (auto& [root, group] : byRoot) {
        std::sort(group.pairs.begin(), group.pairs.end(), [](const DuplicatePair& a, const DuplicatePair& b) {
            return std::tie(a.first, a.second) < std::tie(b.first, b.second);
        });
        groups.push_back(std::move(group));
    }
    // byRoot is in first-key order already; the stable sort keeps it among groups of one size.
    std::stable_sort(groups.begin(), groups.end(), [](const DuplicateGroup& a, const DuplicateGroup& b) {
        return a.members.size() > b.members.size();
    });
    return groups;
}

void measureFromFirst(DuplicateGroup& group, const FeatureMap& features) {
    if (group.members.empty()) return;
    const std::vector<float>& first = features.at(group.members.front().key);
    for (DuplicateMember& member : group.members)
        member.distanceToFirst = offsetDistance(first, features.at(member.key));
}

void readFileFacts(DuplicateGroup& group) {
    for (DuplicateMember& member : group.members) {
        struct stat facts;
        if (stat(member.key.c_str(), &facts) != 0 || !S_ISREG(facts.st_mode)) {
            member.file = std::nullopt;
            continue;
        }
        member.file =
            FileFacts{static_cast<std::uintmax_t>(facts.st_size), static_cast<std::int64_t>(facts.st_mtim.tv_sec),
                      facts.st_mtim.tv_nsec, photoTakenDate(member.key)};
    }
}

void chooseKept(DuplicateGroup& group, KeepRule rule) {
    group.kept = std::nullopt;
    if (rule == KeepRule::none || group.members.empty()) return;
    std::size_t best = 0;
    if (rule != KeepRule::first) {
        // Members are in key order, so only a strictly better one replaces the current choice.
        const auto better = [rule](const FileFacts& a, const FileFacts& b) {
            if (rule == KeepRule::largest) return a.bytes > b.bytes;
            // A taken date counts to the second, as cameras write it.
            const auto age = [](const FileFacts& file) {
                return file.taken ? std::make_pair(file.taken->seconds, 0L)
                                  : std::make_pair(file.modifiedSeconds, file.modifiedNanoseconds);
            };
            return age(a) < age(b);
        };
        for (std::size_t i = 1; i < group.members.size(); ++i) {
            const std::optional<FileFacts>& candidate = group.members[i].file;
            const std::optional<FileFacts>& chosen = group.members[best].file;
            if (candidate && (!chosen || better(*candidate, *chosen))) best = i;
        }
    }
    group.kept = best;
}

std::string utcTimeText(std::int64_t secondsSince1970) {
    const std::time_t time = static_cast<std::time_t>(secondsSince1970);
    std::tm parts{};
    gmtime_r(&time, &parts);
    char text[40];
    std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

}  // namespace likeness_cli
