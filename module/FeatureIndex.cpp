// The compact copy of the stored vectors, the lower bound it gives, and the bounded selection.
//
// Why skipping is safe. A vector a is kept as a = s c + r: codes c in [-127, 127], a scale s, a
// residual r whose norm R we bound from above; the query q likewise as t p + w with ||w|| <= W.
// For the exact real difference x = a - q,
//     ||x|| >= sqrt(G) - R - W,   G = ||s c - t p||^2 = s^2 C + t^2 P - 2 s t X,
// with C, P, X the integer sums of c c, p p and c p (exact). offsetDistance takes d_i = a_i - q_i
// in float, so |d_i| >= |x_i| (1 - 2^-24) (a subnormal difference is exact, an overflow only
// grows); squares are exact in double and its sum of non-negative terms loses at most a factor
// (1 - 2^-53)^n, so for n below 2^20 its sum is at least (10000 + (1 - 2^-23) ||x||^2)(1 - 2^-32).
// Its result is the float nearest to the double root of that sum, and both roundings are monotone.
// So a distance beats or ties the current N-th best k only if its sum stays at or below the square
// of the midpoint m between k and the next float, give or take the root's own rounding. Solving
// for ||x|| gives reachFor(k), and a vector whose sqrt(G) exceeds reachFor(k) + R cannot enter the
// ranking. Every constant below widens a bound by far more than the rounding of the few double
// operations that compute it (under 8 units in the last place); each is noted where it is used.
#include "module/FeatureIndex.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <new>
#include <utility>

#include "module/Distance.h"

namespace {

using likeness::kCodeGroup;
using likeness::kLanes;

constexpr std::size_t kOther = std::size_t{1} << (sizeof(std::size_t) * 8 - 1);
constexpr double kCodeLimit = 127.0;
constexpr std::size_t kGroupBytes = kLanes * kCodeGroup;
constexpr double kInfinity = std::numeric_limits<double>::infinity();
// The shift that makes the query's codes unsigned for the byte multiply-adds.
constexpr int kQueryShift = 128;
// The code dot products stay exact in 32 bits up to this many dimensions (127 * 255 each).
constexpr std::size_t kLargestBoundedDim = 65536;

// Covers the roundings of the residual's squares, their sum and its root: (1 - 2^-53)^-(n/2 + 3)
// for n below 2^20 is below 1 + 2^-33.
constexpr double kResidualWidening = 1.0 + 0x1p-30;
// Covers computing G from the stored energies: at most 8 roundings of terms no larger than
// s^2 C + t^2 P, each 2^-53 of it.
constexpr double kEnergyRounding = 0x1p-48;
// Covers squaring reach + R and the comparison's other few roundings.
constexpr double kReachWidening = 1.0 + 0x1p-40;

// The most blocks a chunk holds; the first chunks hold 1, 2, 4 ... so that a small collection
// takes little memory.
constexpr std::size_t kChunkBlocks = 64;

std::size_t chunkCapacity(std::size_t chunk) {
    return chunk >= 6 ? kChunkBlocks : std::size_t{1} << chunk;
}

// The figures the bound needs of a block's lanes, stored right after the block's codes.
struct LaneFigures {
    double scale[kLanes];
    double energy[kLanes];
    double residual[kLanes];
    std::int32_t codeSum[kLanes];
};
static_assert(sizeof(LaneFigures) % 64 == 0, "records stay aligned for whole-register loads");

// The figures of the block whose record starts at record and holds groups groups of codes.
const LaneFigures& figuresIn(const std::uint8_t* record, std::size_t groups) {
    return *reinterpret_cast<const LaneFigures*>(record + groups * kGroupBytes);
}
LaneFigures& figuresIn(std::uint8_t* record, std::size_t groups) {
    return *reinterpret_cast<LaneFigures*>(record + groups * kGroupBytes);
}

// The bound's test: whether lane l of a block, whose codes' products with the shifted codes of a
// query sum to dot, lies beyond reach of that query (its energy, twice its scale). Written so that
// NaN anywhere keeps the vector.
bool beyondReach(const LaneFigures& figures, std::size_t l, std::int32_t dot, double queryEnergy,
                 double twiceQueryScale, double reach) {
    // Sum of code products with the unshifted query codes; an exact integer.
    const double products =
        static_cast<double>(static_cast<std::int64_t>(dot) - std::int64_t{kQueryShift} * figures.codeSum[l]);
    const double energies = figures.energy[l] + queryEnergy;
    const double gap = energies - (twiceQueryScale * figures.scale[l]) * products;
    const double apart = reach + figures.residual[l];
    return gap > apart * apart * kReachWidening + kEnergyRounding * energies;
}

// What the bound needs of a vector written as scale * codes + residual: energy is scale^2 times
// the sum of the squared codes as computed in double, residual is at least the residual's exact
// norm (infinite for a vector holding inf or NaN, which is then never skipped).
struct Coding {
    double scale = 0.0;
    double energy = 0.0;
    double residual = 0.0;
    std::int32_t codeSum = 0;
};

Coding encode(const float* values, std::size_t dim, std::int8_t* codes) {
    Coding coding;
    std::fill(codes, codes + dim, std::int8_t{0});
    bool finite = true;
    double largest = 0.0;
    for (std::size_t i = 0; i < dim; ++i) {
        const double magnitude = std::fabs(static_cast<double>(values[i]));
        finite &= magnitude <= std::numeric_limits<float>::max();
        largest = std::max(largest, magnitude);
    }
    if (!finite) {
        coding.residual = kInfinity;
        return coding;
    }
    // Squares are summed in several independent parts: an upper bound holds for any order of
    // summation, and the parts keep start-up from waiting on one long chain of additions.
    constexpr std::size_t kParts = 8;
    double squareParts[kParts] = {};
    // A scale of 24 bits times a code of 8 is exact in double, and so is the residual: the value
    // and the product differ by at most about 128 scales and share a last place within 34 bits
    // of that (or the code is 0 and the residual is the value itself).
    const float scale = static_cast<float>(largest / kCodeLimit);
    if (!(scale >= std::numeric_limits<float>::min())) {
        // Values this small keep no codes: the whole vector is residual.
        for (std::size_t i = 0; i < dim; ++i) squareParts[i % kParts] += static_cast<double>(values[i]) * values[i];
    } else {
        const double inverse = 1.0 / scale;
        std::int64_t codeSquares = 0;
        for (std::size_t i = 0; i < dim; ++i) {
            const double scaled = values[i] * inverse;
            // Any integer code is sound, the residual absorbs the rest; to nearest keeps it small.
            const int code = std::clamp(static_cast<int>(scaled + (scaled < 0 ? -0.5 : 0.5)), -127, 127);
            codes[i] = static_cast<std::int8_t>(code);
            const double residual = values[i] - static_cast<double>(scale) * code;
            squareParts[i % kParts] += residual * residual;
            codeSquares += code * code;
            coding.codeSum += code;
        }
        coding.scale = scale;
        coding.energy = static_cast<double>(scale) * scale * static_cast<double>(codeSquares);
    }
    double squares = 0.0;
    for (double part : squareParts) squares += part;
    coding.residual = std::sqrt(squares) * kResidualWidening;
    return coding;
}

// The largest ||x|| (plus the query's residual W) at which a vector could still beat or tie the
// distance bar: infinite when bar is the largest float.
double reachFor(float bar, double queryResidual) {
    const double midpoint =
        (static_cast<double>(bar) + std::nextafter(bar, std::numeric_limits<float>::infinity())) / 2;
    // The sum must exceed m^2 (1 + 2^-50) to round above bar; 2^-30 also covers the roundings of
    // m^2 and of the subtraction, and 2^-21 the factor (1 - 2^-23) and its own rounding.
    const double enough = (midpoint * midpoint * (1.0 + 0x1p-30) - likeness::kDistanceOffset) * (1.0 + 0x1p-21);
    return (std::sqrt(std::max(enough, 0.0)) + queryResidual) * kReachWidening;
}

// The ranking order: nearer first, NaN after every number, then key order.
bool rankedBefore(const RankedKey& a, const RankedKey& b) {
    const bool aNaN = std::isnan(a.distance);
    const bool bNaN = std::isnan(b.distance);
    if (aNaN != bNaN) return bNaN;
    if (!aNaN && a.distance != b.distance) return a.distance < b.distance;
    return *a.key < *b.key;
}

}  // namespace

void FeatureIndex::AlignedFree::operator()(std::uint8_t* memory) const {
    std::free(memory);
}

// The best entries offered so far: all of them when the ranking is to be complete, otherwise the
// `capacity` best in a heap whose top is the worst of them.
class FeatureIndex::Selection {
public:
    Selection(std::size_t wanted, std::size_t available) : capacity(wanted), keepsAll(wanted >= available) {
        kept.reserve(keepsAll ? available : wanted);
    }

    bool canRefuse() const { return !keepsAll && capacity > 0; }

    void offer(float distance, const std::string* key) {
        const RankedKey entry{key, distance};
        if (keepsAll) {
            kept.push_back(entry);
        } else if (kept.size() < capacity) {
            kept.push_back(entry);
            std::push_heap(kept.begin(), kept.end(), rankedBefore);
        } else if (capacity > 0 && rankedBefore(entry, kept.front())) {
            std::pop_heap(kept.begin(), kept.end(), rankedBefore);
            kept.back() = entry;
            std::push_heap(kept.begin(), kept.end(), rankedBefore);
        }
    }

    // The distance a newcomer must beat or tie; NaN or infinity leaves nothing to refuse.
    float bar() const {
        return kept.size() < capacity ? std::numeric_limits<float>::infinity() : kept.front().distance;
    }

    std::vector<RankedKey> ranked() {
        std::sort(kept.begin(), kept.end(), rankedBefore);
        return std::move(kept);
    }

private:
    std::size_t capacity;
    bool keepsAll;
    std::vector<RankedKey> kept;
};

double compactCodeError(const std::vector<float>& values) {
    std::vector<std::int8_t> codes(values.size());
    return encode(values.data(), values.size(), codes.data()).residual;
}

FeatureIndex::FeatureIndex(std::size_t dimension, likeness::DistanceKernels kernels)
    : dim(dimension), kernels(kernels) {}

FeatureIndex::~FeatureIndex() = default;

std::size_t FeatureIndex::groups() const {
    return (dim + kCodeGroup - 1) / kCodeGroup;
}

std::size_t FeatureIndex::recordBytes() const {
    return groups() * kGroupBytes + sizeof(LaneFigures);
}

void FeatureIndex::addBlock() {
    if (records.size() == chunkedBlocks) {
        const std::size_t capacity = chunkCapacity(chunks.size());
        const std::size_t bytes = capacity * recordBytes();
        void* memory = std::aligned_alloc(64, bytes);
        if (memory == nullptr) throw std::bad_alloc();
        std::memset(memory, 0, bytes);
        chunks.emplace_back(static_cast<std::uint8_t*>(memory));
        chunkedBlocks += capacity;
    }
    const std::size_t inChunk = chunkCapacity(chunks.size() - 1) - (chunkedBlocks - records.size());
    records.push_back(chunks.back().get() + inChunk * recordBytes());
    keys.resize(keys.size() + kLanes, nullptr);
    values.resize(values.size() + kLanes, nullptr);
}

void FeatureIndex::removeLastBlock() {
    records.pop_back();
    keys.resize(keys.size() - kLanes);
    values.resize(values.size() - kLanes);
    const std::size_t lastCapacity = chunkCapacity(chunks.size() - 1);
    if (records.size() == chunkedBlocks - lastCapacity) {
        chunks.pop_back();
        chunkedBlocks -= lastCapacity;
    }
}

void FeatureIndex::clear() {
    chunks.clear();
    chunkedBlocks = 0;
    records.clear();
    keys.clear();
    values.clear();
    blockedCount = 0;
    others.clear();
    position.clear();
}

void FeatureIndex::assign(const FeatureMap& features) {
    clear();
    std::vector<const FeatureMap::value_type*> entries;
    entries.reserve(features.size());
    for (const auto& entry : features) entries.push_back(&entry);
    // Exact distances read the map's vectors sixteen at a time; in allocation order they mostly
    // lie one after another, which the prefetcher streams.
    std::sort(entries.begin(), entries.end(), [](const FeatureMap::value_type* a, const FeatureMap::value_type* b) {
        return std::less<const float*>()(a->second.data(), b->second.data());
    });
    position.reserve(entries.size());
    records.reserve((entries.size() + kLanes - 1) / kLanes);
    keys.reserve(records.capacity() * kLanes);
    values.reserve(records.capacity() * kLanes);
    for (const FeatureMap::value_type* entry : entries) insert(*entry);
}

void FeatureIndex::writeLane(std::size_t slot, const Slot& entry) {
    std::uint8_t* record = records[slot / kLanes];
    const std::size_t lane = slot % kLanes;
    std::vector<std::int8_t> codes(groups() * kCodeGroup, 0);
    const Coding coding = encode(entry.vector->data(), dim, codes.data());
    for (std::size_t g = 0; g < groups(); ++g) {
        std::memcpy(record + g * kGroupBytes + lane * kCodeGroup, codes.data() + g * kCodeGroup, kCodeGroup);
    }
    LaneFigures& figures = figuresIn(record, groups());
    figures.scale[lane] = coding.scale;
    figures.energy[lane] = coding.energy;
    figures.residual[lane] = coding.residual;
    figures.codeSum[lane] = coding.codeSum;
    keys[slot] = entry.key;
    values[slot] = entry.vector->data();
}

void FeatureIndex::moveLane(std::size_t from, std::size_t to) {
    const std::uint8_t* source = records[from / kLanes];
    std::uint8_t* target = records[to / kLanes];
    const std::size_t sourceLane = from % kLanes;
    const std::size_t targetLane = to % kLanes;
    for (std::size_t g = 0; g < groups(); ++g) {
        std::memcpy(target + g * kGroupBytes + targetLane * kCodeGroup,
                    source + g * kGroupBytes + sourceLane * kCodeGroup, kCodeGroup);
    }
    const LaneFigures& sourceFigures = figuresIn(source, groups());
    LaneFigures& targetFigures = figuresIn(target, groups());
    targetFigures.scale[targetLane] = sourceFigures.scale[sourceLane];
    targetFigures.energy[targetLane] = sourceFigures.energy[sourceLane];
    targetFigures.residual[targetLane] = sourceFigures.residual[sourceLane];
    targetFigures.codeSum[targetLane] = sourceFigures.codeSum[sourceLane];
    keys[to] = keys[from];
    values[to] = values[from];
}

void FeatureIndex::insert(const FeatureMap::value_type& entry) {
    const Slot slot{&entry.first, &entry.second};
    if (position.count(slot.key) != 0) return;
    if (entry.second.size() != dim) {
        others.push_back(slot);
        position.emplace(slot.key, kOther | (others.size() - 1));
        return;
    }
    if (blockedCount / kLanes == records.size()) addBlock();
    writeLane(blockedCount, slot);
    position.emplace(slot.key, blockedCount);
    ++blockedCount;
}

void FeatureIndex::erase(const FeatureMap::value_type& entry) {
    const auto found = position.find(&entry.first);
    if (found == position.end()) return;
    const std::size_t where = found->second;
    position.erase(found);
    if ((where & kOther) != 0) {
        const std::size_t index = where & ~kOther;
        if (index + 1 != others.size()) {
            others[index] = others.back();
            position[others[index].key] = kOther | index;
        }
        others.pop_back();
        return;
    }
    // The last lane fills the hole, so the blocks stay dense.
    const std::size_t last = blockedCount - 1;
    if (where != last) {
        moveLane(last, where);
        position[keys[where]] = where;
    }
    keys[last] = nullptr;
    values[last] = nullptr;
    --blockedCount;
    if (records.size() * kLanes >= blockedCount + kLanes) removeLastBlock();
}

std::vector<RankedKey> FeatureIndex::nearest(const std::vector<float>& query, std::size_t wanted, ScanCounts* counts,
                                             ScanMode mode) const {
    ScanCounts ownCounts;
    ScanCounts& tally = counts != nullptr ? *counts : ownCounts;
    tally = ScanCounts();
    Selection selection(wanted, size());
    for (const Slot& other : others) {
        selection.offer(offsetDistance(*other.vector, query), other.key);
        ++tally.exact;
    }
    if (query.size() != dim) {
        for (std::size_t slot = 0; slot < blockedCount; ++slot) {
            selection.offer(likeness::reportLengthMismatch(), keys[slot]);
        }
    } else if (wanted > 0) {
        scanBlocks(query, selection, tally, mode);
    }
    return selection.ranked();
}

void FeatureIndex::scanBlocks(const std::vector<float>& query, Selection& selection, ScanCounts& tally,
                              ScanMode mode) const {
    std::vector<std::int8_t> queryCodes(groups() * kCodeGroup, 0);
    const Coding coded = encode(query.data(), dim, queryCodes.data());
    std::vector<std::uint8_t> shiftedQuery(queryCodes.size());
    for (std::size_t i = 0; i < queryCodes.size(); ++i) {
        shiftedQuery[i] = static_cast<std::uint8_t>(queryCodes[i] + kQueryShift);
    }
    const bool boundUsable = mode == ScanMode::bounded && selection.canRefuse() && std::isfinite(coded.residual) &&
                             dim <= kLargestBoundedDim;
    const double twiceQueryScale = 2.0 * coded.scale;

    const float* pendingVectors[kLanes];
    const std::string* pendingKeys[kLanes];
    std::size_t pending = 0;
    float distances[kLanes];
    const auto flush = [&]() {
        for (std::size_t l = pending; l < kLanes; ++l) pendingVectors[l] = pendingVectors[0];
        kernels.laneDistances(pendingVectors, nullptr, query.data(), dim, distances);
        for (std::size_t l = 0; l < pending; ++l) selection.offer(distances[l], pendingKeys[l]);
        tally.exact += pending;
        pending = 0;
    };

    float barSeen = std::numeric_limits<float>::quiet_NaN();
    double reach = kInfinity;
    for (std::size_t b = 0; b < records.size(); ++b) {
        const std::size_t lanes = std::min(kLanes, blockedCount - b * kLanes);
        const float bar = selection.bar();
        const bool bounded = boundUsable && std::isfinite(bar);
        if (!bounded && pending == 0 && lanes == kLanes) {
            // Every lane needs its exact distance: the block goes whole, and the next one's
            // vectors are fetched meanwhile.
            const bool nextIsFull = blockedCount - b * kLanes >= 2 * kLanes;
            kernels.laneDistances(&values[b * kLanes], nextIsFull ? &values[(b + 1) * kLanes] : nullptr, query.data(),
                                  dim, distances);
            for (std::size_t l = 0; l < kLanes; ++l) selection.offer(distances[l], keys[b * kLanes + l]);
            tally.exact += kLanes;
            continue;
        }
        std::uint32_t kept = (std::uint32_t{1} << lanes) - 1;
        if (bounded) {
            if (bar != barSeen) {
                barSeen = bar;
                reach = reachFor(bar, coded.residual);
            }
            const std::int8_t* codes = reinterpret_cast<const std::int8_t*>(records[b]);
            const LaneFigures& figures = figuresIn(records[b], groups());
            std::int32_t dots[kLanes];
            kernels.codeDots(codes, shiftedQuery.data(), groups(), dots);
            std::uint32_t inReach = 0;
            for (std::size_t l = 0; l < kLanes; ++l) {
                const bool far = beyondReach(figures, l, dots[l], coded.energy, twiceQueryScale, reach);
                inReach |= static_cast<std::uint32_t>(!far) << l;
            }
            tally.skipped += static_cast<std::size_t>(__builtin_popcount(kept & ~inReach));
            kept &= inReach;
        }
        for (; kept != 0; kept &= kept - 1) {
            const std::size_t slot = b * kLanes + static_cast<std::size_t>(__builtin_ctz(kept));
            pendingVectors[pending] = values[slot];
            pendingKeys[pending] = keys[slot];
            if (++pending == kLanes) flush();
        }
    }
    if (pending > 0) flush();
}

std::vector<ClosePair> FeatureIndex::closePairs(float below, const WorkProgress& progress, ScanCounts* counts) const {
    ScanCounts ownCounts;
    ScanCounts& tally = counts != nullptr ? *counts : ownCounts;
    tally = ScanCounts();
    std::vector<ClosePair> pairs;
    const std::size_t entries = size();
    const std::size_t total = entries < 2 ? 0 : entries * (entries - 1) / 2;
    if (!(below > 100.0f) || entries < 2) {
        // No distance lies below 100, and NaN is below nothing.
        if (progress) progress(total, total);
        return pairs;
    }
    pairBlocks(below, pairs, progress, total, tally);
    pairOthers(below, pairs, tally);
    if (progress) progress(total, total);
    return pairs;
}

// The blocked entries against one another, a tile of them at a time: the tile's codes stay in the
// cache while every later block passes by once, instead of every block once per entry.
void FeatureIndex::pairBlocks(float below, std::vector<ClosePair>& pairs, const WorkProgress& progress,
                              std::size_t total, ScanCounts& tally) const {
    constexpr std::size_t kTile = 256;
    const std::size_t codeBytes = groups() * kCodeGroup;
    const bool boundUsable = dim <= kLargestBoundedDim;
    std::vector<std::uint8_t> tileCodes(kTile * codeBytes);
    double reaches[kTile];
    // Each entry of the tile keeps its own candidates until sixteen can be measured together.
    std::vector<const float*> pendingVectors(kTile * kLanes);
    std::vector<const std::string*> pendingKeys(kTile * kLanes);
    std::size_t pending[kTile];
    float distances[kLanes];
    std::size_t examined = 0;

    const auto flush = [&](std::size_t row, std::size_t slot) {
        const float** vectors = pendingVectors.data() + row * kLanes;
        for (std::size_t l = pending[row]; l < kLanes; ++l) vectors[l] = vectors[0];
        kernels.laneDistances(vectors, nullptr, values[slot], dim, distances);
        for (std::size_t l = 0; l < pending[row]; ++l) {
            if (distances[l] < below) pairs.push_back({keys[slot], pendingKeys[row * kLanes + l], distances[l]});
        }
        tally.exact += pending[row];
        pending[row] = 0;
    };

    for (std::size_t start = 0; start < blockedCount; start += kTile) {
        const std::size_t rows = std::min(kTile, blockedCount - start);
        for (std::size_t r = 0; r < rows; ++r) {
            const std::size_t block = (start + r) / kLanes;
            const std::size_t lane = (start + r) % kLanes;
            const std::int8_t* codes = reinterpret_cast<const std::int8_t*>(records[block]);
            for (std::size_t g = 0; g < groups(); ++g) {
                for (std::size_t k = 0; k < kCodeGroup; ++k) {
                    tileCodes[r * codeBytes + g * kCodeGroup + k] =
                        static_cast<std::uint8_t>(codes[g * kGroupBytes + lane * kCodeGroup + k] + kQueryShift);
                }
            }
            reaches[r] = boundUsable ? reachFor(below, figuresIn(records[block], groups()).residual[lane]) : kInfinity;
            pending[r] = 0;
        }
        for (std::size_t b = start / kLanes; b < records.size(); ++b) {
            const std::int8_t* blockCodes = reinterpret_cast<const std::int8_t*>(records[b]);
            const LaneFigures& block = figuresIn(records[b], groups());
            const std::size_t first = b * kLanes;
            const std::size_t lanes = std::min(kLanes, blockedCount - first);
            for (std::size_t r = 0; r < rows; ++r) {
                const std::size_t slot = start + r;
                // Each pair once: an entry meets only the entries after it.
                if (first + lanes <= slot + 1) continue;
                const LaneFigures& own = figuresIn(records[slot / kLanes], groups());
                const std::size_t lane = slot % kLanes;
                const bool bounded = std::isfinite(reaches[r]);
                std::int32_t dots[kLanes];
                if (bounded) kernels.codeDots(blockCodes, tileCodes.data() + r * codeBytes, groups(), dots);
                const double energy = own.energy[lane];
                const double twiceScale = 2.0 * own.scale[lane];
                for (std::size_t l = std::max(first, slot + 1) - first; l < lanes; ++l) {
                    // The same test as a search's, with this entry as the query.
                    if (bounded && beyondReach(block, l, dots[l], energy, twiceScale, reaches[r])) {
                        ++tally.skipped;
                        continue;
                    }
                    pendingVectors[r * kLanes + pending[r]] = values[first + l];
                    pendingKeys[r * kLanes + pending[r]] = keys[first + l];
                    if (++pending[r] == kLanes) flush(r, slot);
                }
            }
        }
        for (std::size_t r = 0; r < rows; ++r) {
            if (pending[r] > 0) flush(r, start + r);
            examined += size() - 1 - (start + r);
        }
        if (progress) progress(examined, total);
    }
}

// Entries of other lengths: few, so each pair is measured on its own.
void FeatureIndex::pairOthers(float below, std::vector<ClosePair>& pairs, ScanCounts& tally) const {
    const bool mismatchesCount = kLengthMismatchDistance < below;
    for (std::size_t i = 0; i < others.size(); ++i) {
        for (std::size_t j = i + 1; j < others.size(); ++j) {
            if (others[i].vector->size() == others[j].vector->size()) {
                const float distance = offsetDistance(*others[i].vector, *others[j].vector);
                ++tally.exact;
                if (distance < below) pairs.push_back({others[i].key, others[j].key, distance});
            } else if (mismatchesCount) {
                pairs.push_back({others[i].key, others[j].key, kLengthMismatchDistance});
            }
        }
        if (!mismatchesCount) continue;
        for (std::size_t slot = 0; slot < blockedCount; ++slot)
            pairs.push_back({others[i].key, keys[slot], kLengthMismatchDistance});
    }
}
