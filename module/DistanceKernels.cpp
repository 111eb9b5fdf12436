// The scan kernels. Why the SIMD versions equal the scalar distance bit for bit: a difference of
// two floats widened to double squares exactly in double (24-bit significands, and float's range
// squared stays inside double's), so fma(d, d, sum) rounds the same exact value as sum + d * d.
// The only thing that could change a result is the order of one vector's additions, and every
// version keeps it: each lane adds its own squares in ascending index order.
#include "module/DistanceKernels.h"

#include <immintrin.h>

#include <cmath>
#include <cstring>

#include "module/Distance.h"

namespace likeness {
namespace {

constexpr std::size_t kFloatsPerLine = 16;
constexpr std::size_t kGroupBytes = kLanes * kCodeGroup;

// One cache line of each upcoming lane, at the place of the values about to be read.
inline void prefetchLanes(const float* const* upcoming, std::size_t i) {
    if (upcoming == nullptr) return;
    for (std::size_t l = 0; l < kLanes; ++l) __builtin_prefetch(upcoming[l] + i);
}

void laneDistancesPortable(const float* const* lanes, const float* const* upcoming, const float* query, std::size_t dim,
                           float* out) {
    double sums[kLanes];
    for (double& sum : sums) sum = kDistanceOffset;
    for (std::size_t i = 0; i < dim; ++i) {
        if (i % kFloatsPerLine == 0) prefetchLanes(upcoming, i);
        const float q = query[i];
        for (std::size_t l = 0; l < kLanes; ++l) {
            const double difference = static_cast<double>(lanes[l][i] - q);
            sums[l] += difference * difference;
        }
    }
    for (std::size_t l = 0; l < kLanes; ++l) out[l] = static_cast<float>(std::sqrt(sums[l]));
}

void codeDotsPortable(const std::int8_t* block, const std::uint8_t* query, std::size_t groups, std::int32_t* out) {
    for (std::size_t l = 0; l < kLanes; ++l) out[l] = 0;
    for (std::size_t g = 0; g < groups; ++g) {
        const std::int8_t* codes = block + g * kGroupBytes;
        const std::uint8_t* q = query + g * kCodeGroup;
        for (std::size_t l = 0; l < kLanes; ++l) {
            std::int32_t sum = 0;
            for (std::size_t k = 0; k < kCodeGroup; ++k) sum += codes[l * kCodeGroup + k] * q[k];
            out[l] += sum;
        }
    }
}

// The column of every lane's differences at one index, for the lanes that have no whole chunk left.
void tailColumn(const float* const* lanes, const float* query, std::size_t i, float* column) {
    for (std::size_t l = 0; l < kLanes; ++l) column[l] = lanes[l][i] - query[i];
}

std::uint32_t queryGroup(const std::uint8_t* query, std::size_t g) {
    std::uint32_t packed;
    std::memcpy(&packed, query + g * kCodeGroup, sizeof packed);
    return packed;
}

// Rows r[0..7] of eight floats become their columns.
__attribute__((target("avx2,fma"))) inline void transpose8(__m256* r) {
    __m256 t[8];
#pragma GCC unroll 16
    for (int k = 0; k < 8; k += 2) {
        t[k] = _mm256_unpacklo_ps(r[k], r[k + 1]);
        t[k + 1] = _mm256_unpackhi_ps(r[k], r[k + 1]);
    }
    __m256 s[8];
#pragma GCC unroll 16
    for (int k = 0; k < 8; k += 4) {
        s[k] = _mm256_shuffle_ps(t[k], t[k + 2], 0x44);
        s[k + 1] = _mm256_shuffle_ps(t[k], t[k + 2], 0xEE);
        s[k + 2] = _mm256_shuffle_ps(t[k + 1], t[k + 3], 0x44);
        s[k + 3] = _mm256_shuffle_ps(t[k + 1], t[k + 3], 0xEE);
    }
#pragma GCC unroll 16
    for (int c = 0; c < 4; ++c) {
        r[c] = _mm256_permute2f128_ps(s[c], s[c + 4], 0x20);
        r[c + 4] = _mm256_permute2f128_ps(s[c], s[c + 4], 0x31);
    }
}

// Adds the squares of eight lanes' differences (one column) to two accumulators of four lanes.
__attribute__((target("avx2,fma"))) inline void accumulate8(__m256 column, __m256d& low, __m256d& high) {
    const __m256d first = _mm256_cvtps_pd(_mm256_castps256_ps128(column));
    const __m256d second = _mm256_cvtps_pd(_mm256_extractf128_ps(column, 1));
    low = _mm256_fmadd_pd(first, first, low);
    high = _mm256_fmadd_pd(second, second, high);
}

__attribute__((target("avx2,fma"))) void laneDistancesAvx2(const float* const* lanes, const float* const* upcoming,
                                                           const float* query, std::size_t dim, float* out) {
    __m256d sums[4];
    for (__m256d& sum : sums) sum = _mm256_set1_pd(kDistanceOffset);
    std::size_t i = 0;
    for (; i + 8 <= dim; i += 8) {
        if (i % kFloatsPerLine == 0) prefetchLanes(upcoming, i);
        const __m256 q = _mm256_loadu_ps(query + i);
        __m256 first[8], second[8];
#pragma GCC unroll 16
        for (int l = 0; l < 8; ++l) {
            first[l] = _mm256_sub_ps(_mm256_loadu_ps(lanes[l] + i), q);
            second[l] = _mm256_sub_ps(_mm256_loadu_ps(lanes[l + 8] + i), q);
        }
        transpose8(first);
        transpose8(second);
#pragma GCC unroll 16
        for (int j = 0; j < 8; ++j) {
            accumulate8(first[j], sums[0], sums[1]);
            accumulate8(second[j], sums[2], sums[3]);
        }
    }
    for (; i < dim; ++i) {
        float column[kLanes];
        tailColumn(lanes, query, i, column);
        accumulate8(_mm256_loadu_ps(column), sums[0], sums[1]);
        accumulate8(_mm256_loadu_ps(column + 8), sums[2], sums[3]);
    }
    for (int h = 0; h < 4; ++h) {
        _mm_storeu_ps(out + 4 * h, _mm256_cvtpd_ps(_mm256_sqrt_pd(sums[h])));
    }
}

__attribute__((target("avx2,fma"))) void codeDotsAvx2(const std::int8_t* block, const std::uint8_t* query,
                                                      std::size_t groups, std::int32_t* out) {
    // Each quarter of a group holds four lanes; madd leaves two partial sums per lane.
    __m256i sums[4];
    for (__m256i& sum : sums) sum = _mm256_setzero_si256();
    for (std::size_t g = 0; g < groups; ++g) {
        const __m128i repeated = _mm_set1_epi32(static_cast<int>(queryGroup(query, g)));
        const __m256i q = _mm256_cvtepu8_epi16(repeated);
        const std::int8_t* codes = block + g * kGroupBytes;
        for (int h = 0; h < 4; ++h) {
            const __m128i packed = _mm_loadu_si128(reinterpret_cast<const __m128i*>(codes + 16 * h));
            sums[h] = _mm256_add_epi32(sums[h], _mm256_madd_epi16(_mm256_cvtepi8_epi16(packed), q));
        }
    }
    for (int h = 0; h < 4; ++h) {
        std::int32_t pairs[8];
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(pairs), sums[h]);
        for (int m = 0; m < 4; ++m) out[4 * h + m] = pairs[2 * m] + pairs[2 * m + 1];
    }
}

// GCC 12's AVX-512 intrinsics start from a self-initialised "undefined" register, which its own
// uninitialised-use warnings then report; nothing here reads an undefined value.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

// Rows r[0..15] of sixteen floats become their columns.
__attribute__((target("avx512f"))) inline void transpose16(__m512* r) {
    __m512 t[16];
#pragma GCC unroll 16
    for (int k = 0; k < 16; k += 2) {
        t[k] = _mm512_unpacklo_ps(r[k], r[k + 1]);
        t[k + 1] = _mm512_unpackhi_ps(r[k], r[k + 1]);
    }
// Within each 128-bit lane L, r[4m + c] then holds column 4L + c of rows 4m to 4m + 3.
#pragma GCC unroll 16
    for (int k = 0; k < 16; k += 4) {
        r[k] = _mm512_shuffle_ps(t[k], t[k + 2], _MM_SHUFFLE(1, 0, 1, 0));
        r[k + 1] = _mm512_shuffle_ps(t[k], t[k + 2], _MM_SHUFFLE(3, 2, 3, 2));
        r[k + 2] = _mm512_shuffle_ps(t[k + 1], t[k + 3], _MM_SHUFFLE(1, 0, 1, 0));
        r[k + 3] = _mm512_shuffle_ps(t[k + 1], t[k + 3], _MM_SHUFFLE(3, 2, 3, 2));
    }
#pragma GCC unroll 16
    for (int c = 0; c < 4; ++c) {
        const __m512 evenLanes = _mm512_shuffle_f32x4(r[c], r[4 + c], 0x88);
        const __m512 oddLanes = _mm512_shuffle_f32x4(r[c], r[4 + c], 0xdd);
        const __m512 evenLanesBelow = _mm512_shuffle_f32x4(r[8 + c], r[12 + c], 0x88);
        const __m512 oddLanesBelow = _mm512_shuffle_f32x4(r[8 + c], r[12 + c], 0xdd);
        t[c] = _mm512_shuffle_f32x4(evenLanes, evenLanesBelow, 0x88);
        t[8 + c] = _mm512_shuffle_f32x4(evenLanes, evenLanesBelow, 0xdd);
        t[4 + c] = _mm512_shuffle_f32x4(oddLanes, oddLanesBelow, 0x88);
        t[12 + c] = _mm512_shuffle_f32x4(oddLanes, oddLanesBelow, 0xdd);
    }
#pragma GCC unroll 16
    for (int k = 0; k < 16; ++k) r[k] = t[k];
}

__attribute__((target("avx512f"))) inline void accumulate16(__m512 column, __m512d& low, __m512d& high) {
    const __m512d first = _mm512_cvtps_pd(_mm512_castps512_ps256(column));
    const __m512d second = _mm512_cvtps_pd(_mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(column), 1)));
    low = _mm512_fmadd_pd(first, first, low);
    high = _mm512_fmadd_pd(second, second, high);
}

__attribute__((target("avx512f"))) void laneDistancesAvx512(const float* const* lanes, const float* const* upcoming,
                                                            const float* query, std::size_t dim, float* out) {
    __m512d low = _mm512_set1_pd(kDistanceOffset);
    __m512d high = low;
    std::size_t i = 0;
    for (; i + 16 <= dim; i += 16) {
        prefetchLanes(upcoming, i);
        const __m512 q = _mm512_loadu_ps(query + i);
        __m512 rows[16];
#pragma GCC unroll 16
        for (int l = 0; l < 16; ++l) rows[l] = _mm512_sub_ps(_mm512_loadu_ps(lanes[l] + i), q);
        transpose16(rows);
#pragma GCC unroll 16
        for (int j = 0; j < 16; ++j) accumulate16(rows[j], low, high);
    }
    for (; i < dim; ++i) {
        float column[kLanes];
        tailColumn(lanes, query, i, column);
        accumulate16(_mm512_loadu_ps(column), low, high);
    }
    _mm256_storeu_ps(out, _mm512_cvtpd_ps(_mm512_sqrt_pd(low)));
    _mm256_storeu_ps(out + 8, _mm512_cvtpd_ps(_mm512_sqrt_pd(high)));
}

__attribute__((target("avx512f,avx512bw,avx512vnni"))) void codeDotsAvx512(const std::int8_t* block,
                                                                           const std::uint8_t* query,
                                                                           std::size_t groups, std::int32_t* out) {
    // Four accumulators keep four multiply-adds in flight; integer sums may be split freely.
    __m512i sums[4];
    for (__m512i& sum : sums) sum = _mm512_setzero_si512();
    std::size_t g = 0;
    for (; g + 4 <= groups; g += 4) {
#pragma GCC unroll 4
        for (std::size_t k = 0; k < 4; ++k) {
            const __m512i q = _mm512_set1_epi32(static_cast<int>(queryGroup(query, g + k)));
            const __m512i codes = _mm512_loadu_si512(block + (g + k) * kGroupBytes);
            sums[k] = _mm512_dpbusd_epi32(sums[k], q, codes);
        }
    }
    for (; g < groups; ++g) {
        const __m512i q = _mm512_set1_epi32(static_cast<int>(queryGroup(query, g)));
        sums[0] = _mm512_dpbusd_epi32(sums[0], q, _mm512_loadu_si512(block + g * kGroupBytes));
    }
    const __m512i total = _mm512_add_epi32(_mm512_add_epi32(sums[0], sums[1]), _mm512_add_epi32(sums[2], sums[3]));
    _mm512_storeu_si512(out, total);
}

#pragma GCC diagnostic pop

bool cpuRuns(KernelLevel level) {
    switch (level) {
    case KernelLevel::portable: return true;
    case KernelLevel::avx2: return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    case KernelLevel::avx512:
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
               __builtin_cpu_supports("avx512vnni");
    }
    return false;
}

}  // namespace

std::vector<KernelLevel> supportedKernelLevels() {
    std::vector<KernelLevel> levels;
    for (KernelLevel level : {KernelLevel::portable, KernelLevel::avx2, KernelLevel::avx512}) {
        if (cpuRuns(level)) levels.push_back(level);
    }
    return levels;
}

DistanceKernels kernelsFor(KernelLevel level) {
    if (!cpuRuns(level)) level = KernelLevel::portable;
    switch (level) {
    case KernelLevel::avx512: return {level, laneDistancesAvx512, codeDotsAvx512};
    case KernelLevel::avx2: return {level, laneDistancesAvx2, codeDotsAvx2};
    case KernelLevel::portable: break;
    }
    return {KernelLevel::portable, laneDistancesPortable, codeDotsPortable};
}

DistanceKernels fastestKernels() {
    static const DistanceKernels fastest = kernelsFor(supportedKernelLevels().back());
    return fastest;
}

const char* kernelLevelName(KernelLevel level) {
    switch (level) {
    case KernelLevel::avx512: return "avx512";
    case KernelLevel::avx2: return "avx2";
    case KernelLevel::portable: break;
    }
    return "portable";
}

}  // namespace likeness
