// Synthetic feature vectors shaped like the default model's, for the benchmarks: 512 dense signed
// values of norm 30, roughly normal (a sum of four uniforms), from a fast seeded generator.
#ifndef LIKENESS_BENCH_SYNTHETICFEATURES_H
#define LIKENESS_BENCH_SYNTHETICFEATURES_H

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "module/FeatureContract.h"

inline constexpr std::size_t kSyntheticDim = likeness::kFeatureDim;
inline constexpr double kSyntheticNorm = 30.0;

class SyntheticFeatures {
public:
    explicit SyntheticFeatures(std::uint64_t seed) : state(seed) {}

    std::vector<float> next() {
        std::vector<float> v(kSyntheticDim);
        double squares = 0.0;
        for (float& x : v) {
            x = static_cast<float>(uniform() + uniform() + uniform() + uniform() - 2.0);
            squares += static_cast<double>(x) * x;
        }
        const double scale = kSyntheticNorm / std::sqrt(squares);
        for (float& x : v) x = static_cast<float>(x * scale);
        return v;
    }

    // An altered copy: the vector moved by a random step of the given norm.
    std::vector<float> near(const std::vector<float>& of, double stepNorm) {
        std::vector<float> step = next();
        std::vector<float> moved(of);
        for (std::size_t i = 0; i < kSyntheticDim; ++i)
            moved[i] += static_cast<float>(step[i] * stepNorm / kSyntheticNorm);
        return moved;
    }

    std::size_t below(std::size_t n) { return static_cast<std::size_t>(bits() % n); }

private:
    std::uint64_t bits() {
        std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
    double uniform() { return static_cast<double>(bits() >> 11) * 0x1p-53; }

    std::uint64_t state;
};

#endif
