// Scores of the quality benchmark grouped by query block and by transform, printed as tables and
// written as JSON.
#ifndef LIKENESS_BENCH_QUALITY_REPORT_H
#define LIKENESS_BENCH_QUALITY_REPORT_H

#include <cstddef>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "Metrics.h"

// One query: which of queryTransforms() made it, and where each method ranked its original.
struct QueryOutcome {
    std::size_t transform = 0;
    std::vector<QueryRank> rankByMethod;
    std::string kind;  // the kind of the queried photo
};

struct ScoreRow {
    std::string method;
    std::string group;
    RetrievalScores scores;
};

// Rows for every method and every block that has queries, then "overall" (all queries pooled).
std::vector<ScoreRow> scoreByBlock(const std::vector<QueryOutcome>& outcomes, const std::vector<std::string>& methods);
// Rows for every method and every transform that has queries, in transform order.
std::vector<ScoreRow> scoreByTransform(const std::vector<QueryOutcome>& outcomes,
                                       const std::vector<std::string>& methods);

// Prints one line per group with recall@1, recall@10 and mAP of each method side by side.
void printScoreTable(std::ostream& out, const std::string& title, const std::vector<ScoreRow>& rows,
                     const std::vector<std::string>& methods);

// Distances at which a query's nearest picture is taken for its original, over the queries of
// one kind of photo (or all of them, kind "overall").
struct KindThreshold {
    std::string kind;
    std::size_t positiveQueries = 0;
    std::size_t negativeQueries = 0;
    // The largest distance that keeps the wanted precision on this kind alone.
    std::optional<OperatingPoint> atWantedPrecision;
    // At the largest distance that keeps it on every kind at once.
    std::optional<OperatingPoint> atCommonThreshold;
    // Accepting what the library's "same picture" rule marks (likeness::markSamePictures).
    OperatingPoint atShippedRule;
};

struct ThresholdReport {
    double wantedPrecision = 0;
    std::optional<float> commonThreshold;
    float shippedThreshold = 0;
    std::vector<KindThreshold> kinds;  // each kind, then "overall"
};

struct RunFacts {
    std::size_t photos = 0;
    std::size_t indexed = 0;
    std::size_t sources = 0;
    std::size_t heldOut = 0;
    std::string split;
    std::string model;
    // Queries whose first key from search differs from the nearest picture by the benchmark's own
    // extraction: 0 unless the library's ranking or preprocessing changed behind the benchmark's back.
    std::size_t searchDisagreements = 0;
    double seconds = 0;  // the whole run, photo loading included
};

void printThresholds(std::ostream& out, const ThresholdReport& threshold);

// blocks holds the rows of scoreByBlock over all queries; blocksByKind those over each kind's queries.
void writeJson(std::ostream& out, const RunFacts& facts, const std::vector<ScoreRow>& blocks,
               const std::vector<std::pair<std::string, std::vector<ScoreRow>>>& blocksByKind,
               const std::vector<ScoreRow>& transforms, const ThresholdReport& threshold);

#endif
