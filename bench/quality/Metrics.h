// Retrieval scores of the quality benchmark: recall@k, Holidays-style average precision over a
// fixed depth, and the distance threshold that reaches a wanted precision.
#ifndef LIKENESS_BENCH_QUALITY_METRICS_H
#define LIKENESS_BENCH_QUALITY_METRICS_H

#include <cstddef>
#include <optional>
#include <vector>

// How many results of each query are scored.
constexpr std::size_t kScoredDepth = 20;

// Average precision as the INRIA Holidays evaluation computes it: for each relevant result, in
// rank order, the mean of the precision just before it and just after it, times 1/relevantCount.
// relevantRanks are the 0-based ranks of the relevant results that were retrieved, ascending;
// relevant pictures that were not retrieved contribute nothing.
double holidaysAveragePrecision(const std::vector<std::size_t>& relevantRanks, std::size_t relevantCount);

// Where one query's only relevant picture came in its results (0-based), or nothing when it was
// not among the first kScoredDepth.
using QueryRank = std::optional<std::size_t>;

struct RetrievalScores {
    std::size_t queries = 0;
    double recallAt1 = 0;
    double recallAt10 = 0;
    double meanAveragePrecision = 0;
};

// The rank of distances[target] when all are sorted ascending, equal distances in index order
// (so ties neither favour nor harm a query's original in a way that depends on the query), or
// nothing when it is kScoredDepth or more.
QueryRank rankWithTiesInIndexOrder(const std::vector<double>& distances, std::size_t target);

// Scores of a group of queries that each have exactly one relevant picture. An empty group scores 0.
RetrievalScores scoreQueries(const std::vector<QueryRank>& ranks);

// One query judged by its nearest stored picture: the distance to it, whether it is the query's
// original (always false for a query whose original is not stored), and whether the library's
// same-picture rule (likeness::markSamePictures) took it for the same picture.
struct NearestMatch {
    float distance = 0;
    bool correct = false;
    bool marked = false;
};

// Accepting every query whose nearest distance is <= threshold: precision is the share of accepted
// queries whose nearest picture is correct, recall the share of positiveCount queries accepted
// correctly.
struct OperatingPoint {
    float threshold = 0;
    double precision = 0;
    double recall = 0;
    std::size_t accepted = 0;
};

// The operating point with the largest threshold whose precision is at least wantedPrecision, or
// nothing when no threshold accepting at least one query reaches it. Only thresholds equal to an
// observed distance are considered, as every other one accepts the same queries as one of them.
std::optional<OperatingPoint> thresholdForPrecision(std::vector<NearestMatch> matches, double wantedPrecision,
                                                    std::size_t positiveCount);

// Accepting every query whose nearest distance is <= threshold, as above; precision is 1 when
// nothing is accepted.
OperatingPoint operatingPointAt(const std::vector<NearestMatch>& matches, float threshold, std::size_t positiveCount);

// Accepting every query the library's same-picture rule marked; threshold is set to below, the
// distance under which the rule takes any pair for the same picture.
OperatingPoint operatingPointOfMarks(const std::vector<NearestMatch>& matches, float below, std::size_t positiveCount);

// The largest observed distance at which every group of matches keeps at least wantedPrecision
// (a group that accepts nothing keeps it) while some query is accepted; nothing when none does.
std::optional<float> thresholdForEveryGroup(const std::vector<std::vector<NearestMatch>>& groups,
                                            double wantedPrecision);

#endif
