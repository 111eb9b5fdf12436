// Which photos of the benchmark set are query sources, held out or indexed, modelled on INRIA
// Copydays: photos are taken in the order of the SHA-1 of their bytes.
#ifndef LIKENESS_BENCH_QUALITY_PROTOCOL_H
#define LIKENESS_BENCH_QUALITY_PROTOCOL_H

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

// Fails (returns nothing) when fewer than sources + heldOut photos are large enough.
std::optional<PhotoRoles> assignRoles(const std::vector<int>& longSidesInHashOrder, const ProtocolSizes& sizes);

// The dev half is the sources at even positions in hash order, the test half those at odd
// positions, so both halves spread over the whole set.
enum class Split { Dev, Test, All };

std::optional<Split> parseSplit(const std::string& name);
const char* splitName(Split split);
std::vector<std::size_t> sourcesOfSplit(const std::vector<std::size_t>& sources, Split split);

#endif
