// The scan's arithmetic over groups of stored vectors, in portable, AVX2 and AVX-512 versions.
// Each version is compiled for its own instruction set and chosen at run time from what the CPU has.
#ifndef LIKENESS_MODULE_DISTANCEKERNELS_H
#define LIKENESS_MODULE_DISTANCEKERNELS_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace likeness {

// Stored vectors are handled sixteen at a time, one per lane.
constexpr std::size_t kLanes = 16;
// The compact codes of a lane come in groups of four consecutive dimensions.
constexpr std::size_t kCodeGroup = 4;

enum class KernelLevel { portable, avx2, avx512 };

// Exact distances of kLanes stored vectors to the query: out[l] is offsetDistance(lanes[l], query)
// bit for bit, for vectors of dim values each. One lane's squares are added in ascending index
// order as offsetDistance does; the lanes run side by side, never one lane's sum split in parts.
// upcoming, when not null, names the kLanes vectors of the next call, fetched into the cache
// meanwhile: sixteen separate streams are more than the hardware's prefetchers follow.
using LaneDistances = void (*)(const float* const* lanes, const float* const* upcoming, const float* query,
                               std::size_t dim, float* out);

// Integer dot products of kLanes coded vectors with a coded query: out[l] is the sum over every
// dimension i of code(l, i) * query[i]. A block holds, for each group of kCodeGroup dimensions, the
// kCodeGroup codes of lane 0, then of lane 1, and so on: groups * kLanes * kCodeGroup bytes.
// Exact as long as groups * kCodeGroup * 127 * 255 fits in 31 bits. Nothing is fetched ahead:
// blocks are read one after another, which the hardware prefetchers follow by themselves.
using CodeDots = void (*)(const std::int8_t* block, const std::uint8_t* query, std::size_t groups, std::int32_t* out);

struct DistanceKernels {
    KernelLevel level;
    LaneDistances laneDistances;
    CodeDots codeDots;
};

// The levels this CPU runs, portable first and the fastest last.
std::vector<KernelLevel> supportedKernelLevels();
// The kernels of one level; a level the CPU lacks gives the portable kernels.
DistanceKernels kernelsFor(KernelLevel level);
// The kernels of the fastest level the CPU runs.
DistanceKernels fastestKernels();
const char* kernelLevelName(KernelLevel level);

// Prints offsetDistance's line for vectors of different lengths and returns its distance.
float reportLengthMismatch();

}  // namespace likeness

#endif
