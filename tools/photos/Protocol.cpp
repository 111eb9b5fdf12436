#include "Protocol.h"

std::optional<PhotoRoles> assignRoles(const std::vector<int>& longSidesInHashOrder, const ProtocolSizes& sizes) {
    PhotoRoles roles;
    std::vector<bool> heldOut(longSidesInHashOrder.size(), false);
    for (std::size_t i = 0; i < longSidesInHashOrder.size(); ++i) {
        if (longSidesInHashOrder[i] < sizes.minimumLongSide) continue;
        if (roles.sources.size() < sizes.sources) {
            roles.sources.push_back(i);
        } else if (roles.heldOut.size() < sizes.heldOut) {
            roles.heldOut.push_back(i);
            heldOut[i] = true;
        }
    }
    if (roles.sources.size() < sizes.sources || roles.heldOut.size() < sizes.heldOut) return std::nullopt;
    for (std::size_t i = 0; i < longSidesInHashOrder.size(); ++i) {
        if (!heldOut[i]) roles.indexed.push_back(i);
    }
    return roles;
}

std::optional<Split> parseSplit(const std::string& name) {
    if (name == "dev") return Split::Dev;
    if (name == "test") return Split::Test;
    if (name == "all") return Split::All;
    return std::nullopt;
}

const char* splitName(Split split) {
    switch (split) {
    case Split::Dev: return "dev";
    case Split::Test: return "test";
    case Split::All: break;
    }
    return "all";
}

std::vector<std::size_t> sourcesOfSplit(const std::vector<std::size_t>& sources, Split split) {
    if (split == Split::All) return sources;
    const std::size_t firstPosition = split == Split::Dev ? 0 : 1;
    std::vector<std::size_t> half;
    for (std::size_t position = firstPosition; position < sources.size(); position += 2)
        half.push_back(sources[position]);
    return half;
}

const std::vector<KindSizes>& protocolKinds() {
    static const std::vector<KindSizes> kinds{{"photo", ProtocolSizes{157, 20, 320}},
                                              {"low-structure", ProtocolSizes{60, 20, 320}}};
    return kinds;
}

std::optional<PhotoRoles> assignRolesByKind(const std::vector<int>& longSidesInHashOrder,
                                            const std::vector<std::string>& kindsInHashOrder,
                                            const std::vector<KindSizes>& kinds, Split split) {
    PhotoRoles merged;
    std::vector<bool> heldOut(longSidesInHashOrder.size(), false);
    for (const KindSizes& kind : kinds) {
        std::vector<std::size_t> members;
        std::vector<int> longSides;
        for (std::size_t i = 0; i < kindsInHashOrder.size(); ++i) {
            if (kindsInHashOrder[i] != kind.kind) continue;
            members.push_back(i);
            longSides.push_back(longSidesInHashOrder[i]);
        }
        const auto roles = assignRoles(longSides, kind.sizes);
        if (!roles) return std::nullopt;
        for (std::size_t position : sourcesOfSplit(roles->sources, split)) merged.sources.push_back(members[position]);
        for (std::size_t position : roles->heldOut) heldOut[members[position]] = true;
        for (std::size_t position : sourcesOfSplit(roles->heldOut, split)) merged.heldOut.push_back(members[position]);
    }
    for (std::size_t i = 0; i < longSidesInHashOrder.size(); ++i) {
        if (!heldOut[i]) merged.indexed.push_back(i);
    }
    return merged;
}
