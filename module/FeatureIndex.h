// The search side of the collection: a compact blocked copy of the stored vectors beside the map.
// It ranks stored pictures exactly as offsetDistance orders them while reading mostly the copy.
#ifndef LIKENESS_MODULE_FEATUREINDEX_H
#define LIKENESS_MODULE_FEATUREINDEX_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "module/DistanceKernels.h"
#include "module/FeatureMap.h"

// Whether a ranking may pass over entries the compact copy rules out, or computes every distance.
enum class ScanMode { bounded, exact };

// How one ranking went: how many distances were computed in full, how many entries the compact
// copy showed could not make the ranking.
struct ScanCounts {
    std::size_t exact = 0;
    std::size_t skipped = 0;
};

// An entry of a ranking: its key in the map and offsetDistance from its vector to the query.
struct RankedKey {
    const std::string* key;
    float distance;
};

// Two indexed entries and offsetDistance between their vectors.
struct ClosePair {
    const std::string* first;
    const std::string* second;
    float distance;
};

// Told, now and then during a long piece of work, how many of its steps are done out of how many.
using WorkProgress = std::function<void(std::size_t done, std::size_t total)>;

// The norm of what the compact copy of values misses (at least that): the slack it leaves in a
// vector's lower bound, together with the query's own.
double compactCodeError(const std::vector<float>& values);

// Each vector of the index's dimension is kept as 8-bit codes with a per-vector scale, sixteen
// vectors to a block, so that the scan reads about a quarter of the bytes of the floats. The codes
// give every vector a rigorous lower bound on its distance to the query; the exact distance, read
// from the map's own vector, is computed only where that bound can still beat the current N-th
// nearest. Vectors of other lengths are kept aside and ranked through offsetDistance.
//
// The index points into the map: an entry must stay in its map, unchanged, until it is erased here
// or the index is assigned anew.
class FeatureIndex {
public:
    explicit FeatureIndex(std::size_t dimension, likeness::DistanceKernels kernels = likeness::fastestKernels());
    ~FeatureIndex();
    FeatureIndex(const FeatureIndex&) = delete;
    FeatureIndex& operator=(const FeatureIndex&) = delete;

    // Forgets everything, then indexes every entry of features.
    void assign(const FeatureMap& features);
    // Adds an entry of the map; an entry already indexed is left as it is.
    void insert(const FeatureMap::value_type& entry);
    // Removes an entry of the map; one that was never indexed is ignored.
    void erase(const FeatureMap::value_type& entry);
    void clear();
    std::size_t size() const { return blockedCount + others.size(); }

    // The keys of the `wanted` nearest entries (all of them when wanted >= size()) with their
    // distances, nearest first by offsetDistance(vector, query), bit for bit; NaN distances come
    // last; equal distances, and NaN among themselves, in ascending key order. Like offsetDistance,
    // prints one line on standard output for every entry whose length differs from the query's.
    // Both modes give the same ranking.
    std::vector<RankedKey> nearest(const std::vector<float>& query, std::size_t wanted, ScanCounts* counts = nullptr,
                                   ScanMode mode = ScanMode::bounded) const;

    // Every pair of indexed entries whose offsetDistance is below `below`, each pair once and in no
    // particular order, the distances offsetDistance's bit for bit. Unlike offsetDistance it prints
    // nothing: vectors of different lengths are kLengthMismatchDistance apart in silence. progress,
    // when set, is told how many pairs have been examined out of all of them. counts.exact is how many
    // distances were computed in full.
    std::vector<ClosePair> closePairs(float below, const WorkProgress& progress = {},
                                      ScanCounts* counts = nullptr) const;

private:
    class Selection;
    struct Slot {
        const std::string* key;
        const std::vector<float>* vector;
    };
    struct AlignedFree {
        void operator()(std::uint8_t* memory) const;
    };
    using Chunk = std::unique_ptr<std::uint8_t[], AlignedFree>;

    std::size_t groups() const;
    std::size_t recordBytes() const;
    void addBlock();
    void removeLastBlock();
    void writeLane(std::size_t slot, const Slot& entry);
    void moveLane(std::size_t from, std::size_t to);
    void scanBlocks(const std::vector<float>& query, Selection& selection, ScanCounts& tally, ScanMode mode) const;
    void pairBlocks(float below, std::vector<ClosePair>& pairs, const WorkProgress& progress, std::size_t total,
                    ScanCounts& tally) const;
    void pairOthers(float below, std::vector<ClosePair>& pairs, ScanCounts& tally) const;

    std::size_t dim;
    likeness::DistanceKernels kernels;
    // Each block's record, its codes and then its lanes' figures, lies in a chunk beside the
    // records of its neighbours, so that the scan reads one stream the prefetchers follow.
    std::vector<Chunk> chunks;
    std::size_t chunkedBlocks = 0;
    std::vector<std::uint8_t*> records;
    // The key and values of every lane, kLanes to a block.
    std::vector<const std::string*> keys;
    std::vector<const float*> values;
    std::size_t blockedCount = 0;
    std::vector<Slot> others;
    // Where each indexed key is: a lane number, or kOther plus its place in others.
    std::unordered_map<const std::string*, std::size_t> position;
};

#endif
