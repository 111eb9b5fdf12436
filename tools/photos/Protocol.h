// Which photos of the benchmark set are query sources, held out or indexed, modelled on INRIA
// Copydays: photos are taken in the order of the SHA-1 of their bytes.
#ifndef LIKENESS_TOOLS_PHOTOS_PROTOCOL_H
#define LIKENESS_TOOLS_PHOTOS_PROTOCOL_H

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

struct ProtocolSizes {
    std::size_t sources = 157;
    std::size_t heldOut = 20;
    // Photos with a shorter long side are only ever indexed: their altered copies would be tiny.
    int minimumLongSide = 320;
};

// Positions in the hash-ordered list of photos.
struct PhotoRoles {
    // The first `sources` photos that are large enough; they are indexed and queried.
    std::vector<std::size_t> sources;
    // The next `heldOut` photos that are large enough; queried but never indexed, so any match is false.
    std::vector<std::size_t> heldOut;
    // Every photo that is not held out, in hash order.
    std::vector<std::size_t> indexed;
};

// The dev half is the sources at even positions in hash order, the test half those at odd
// positions, so both halves spread over the whole set.
enum class Split { Dev, Test, All };

// Fails (returns nothing) when fewer than sources + heldOut photos are large enough.
std::optional<PhotoRoles> assignRoles(const std::vector<int>& longSidesInHashOrder, const ProtocolSizes& sizes);

// The protocol's sizes for one kind of photo; photos of a kind no entry names are only indexed.
struct KindSizes {
    std::string kind;
    ProtocolSizes sizes;
};

// "photo": the 157 sources and 20 held-out photos of the original set; "low-structure": 60
// sources and 20 held out among the textures, papers and moon pictures.
const std::vector<KindSizes>& protocolKinds();

// Roles assigned within each kind's own photos (in hash order), so adding photos of one kind
// leaves the roles of the others as they were. kindsInHashOrder gives each photo's kind. The
// sources and the held-out photos are those of `split`, each halved within each kind as
// sourcesOfSplit halves sources (so a threshold chosen on the dev split is judged on other absent
// photos), then concatenated in the order of `kinds`; indexed holds every photo that is not held
// out in any split. Fails when any kind is short of photos.
std::optional<PhotoRoles> assignRolesByKind(const std::vector<int>& longSidesInHashOrder,
                                            const std::vector<std::string>& kindsInHashOrder,
                                            const std::vector<KindSizes>& kinds, Split split);

std::optional<Split> parseSplit(const std::string& name);
const char* splitName(Split split);
std::vector<std::size_t> sourcesOfSplit(const std::vector<std::size_t>& sources, Split split);

#endif
