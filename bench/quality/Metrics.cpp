#include "Metrics.h"

#include <algorithm>

double holidaysAveragePrecision(const std::vector<std::size_t>& relevantRanks, std::size_t relevantCount) {
    if (relevantCount == 0) return 0;
    const double recallStep = 1.0 / static_cast<double>(relevantCount);
    double sum = 0;
    for (std::size_t found = 0; found < relevantRanks.size(); ++found) {
        const auto rank = static_cast<double>(relevantRanks[found]);
        const auto foundBefore = static_cast<double>(found);
        const double precisionBefore = relevantRanks[found] == 0 ? 1.0 : foundBefore / rank;
        const double precisionAfter = (foundBefore + 1) / (rank + 1);
        sum += (precisionBefore + precisionAfter) * recallStep / 2;
    }
    return sum;
}

QueryRank rankWithTiesInIndexOrder(const std::vector<double>& distances, std::size_t target) {
    std::size_t ahead = 0;
    for (std::size_t i = 0; i < distances.size(); ++i) {
        if (distances[i] < distances[target] || (distances[i] == distances[target] && i < target)) ++ahead;
    }
    if (ahead >= kScoredDepth) return std::nullopt;
    return ahead;
}

RetrievalScores scoreQueries(const std::vector<QueryRank>& ranks) {
    RetrievalScores scores;
    scores.queries = ranks.size();
    if (ranks.empty()) return scores;
    double hitsAt1 = 0;
    double hitsAt10 = 0;
    double apSum = 0;
    for (const QueryRank& rank : ranks) {
        if (!rank || *rank >= kScoredDepth) continue;
        hitsAt1 += *rank < 1 ? 1 : 0;
        hitsAt10 += *rank < 10 ? 1 : 0;
        apSum += holidaysAveragePrecision({*rank}, 1);
    }
    const auto count = static_cast<double>(ranks.size());
    scores.recallAt1 = hitsAt1 / count;
    scores.recallAt10 = hitsAt10 / count;
    scores.meanAveragePrecision = apSum / count;
    return scores;
}

std::optional<OperatingPoint> thresholdForPrecision(std::vector<NearestMatch> matches, double wantedPrecision,
                                                    std::size_t positiveCount) {
    std::sort(matches.begin(), matches.end(),
              [](const NearestMatch& a, const NearestMatch& b) { return a.distance < b.distance; });
    std::optional<OperatingPoint> best;
    std::size_t correct = 0;
    for (std::size_t i = 0; i < matches.size(); ++i) {
        correct += matches[i].correct ? 1 : 0;
        // A threshold accepts every query at its distance, so only the last of equal distances counts.
        if (i + 1 < matches.size() && matches[i + 1].distance == matches[i].distance) continue;
        const std::size_t accepted = i + 1;
        const double precision = static_cast<double>(correct) / static_cast<double>(accepted);
        if (precision < wantedPrecision) continue;
        const double recall =
            positiveCount == 0 ? 0 : static_cast<double>(correct) / static_cast<double>(positiveCount);
        best = OperatingPoint{matches[i].distance, precision, recall, accepted};
    }
    return best;
}

namespace {

template <typename Accepts>
OperatingPoint operatingPointWhere(const std::vector<NearestMatch>& matches, float threshold, std::size_t positiveCount,
                                   Accepts accepts) {
    std::size_t accepted = 0;
    std::size_t correct = 0;
    for (const NearestMatch& match : matches) {
        if (!accepts(match)) continue;
        ++accepted;
        correct += match.correct ? 1 : 0;
    }
    const double precision = accepted == 0 ? 1.0 : static_cast<double>(correct) / static_cast<double>(accepted);
    const double recall = positiveCount == 0 ? 0 : static_cast<double>(correct) / static_cast<double>(positiveCount);
    return {threshold, precision, recall, accepted};
}

}  // namespace

OperatingPoint operatingPointAt(const std::vector<NearestMatch>& matches, float threshold, std::size_t positiveCount) {
    return operatingPointWhere(matches, threshold, positiveCount,
                               [threshold](const NearestMatch& match) { return match.distance <= threshold; });
}

OperatingPoint operatingPointOfMarks(const std::vector<NearestMatch>& matches, float below, std::size_t positiveCount) {
    return operatingPointWhere(matches, below, positiveCount, [](const NearestMatch& match) { return match.marked; });
}

std::optional<float> thresholdForEveryGroup(const std::vector<std::vector<NearestMatch>>& groups,
                                            double wantedPrecision) {
    std::vector<float> candidates;
    for (const auto& group : groups)
        for (const NearestMatch& match : group) candidates.push_back(match.distance);
    std::sort(candidates.begin(), candidates.end(), [](float a, float b) { return a > b; });
    candidates.erase(std::unique(candidates.begin(), candidates.end()), candidates.end());
    for (float threshold : candidates) {
        bool everyGroupKeepsIt = true;
        for (const auto& group : groups) {
            if (operatingPointAt(group, threshold, 0).precision < wantedPrecision) {
                everyGroupKeepsIt = false;
                break;
            }
        }
        if (everyGroupKeepsIt) return threshold;
    }
    return std::nullopt;
}
