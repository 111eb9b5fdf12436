#include "Report.h"

#include <cstdio>
#include <functional>
#include <map>

#include "Transforms.h"

namespace {

// Rows of each method for the groups named by groupOf, in order of first appearance in groupOrder.
std::vector<ScoreRow> scoreGroups(const std::vector<QueryOutcome>& outcomes, const std::vector<std::string>& methods,
                                  const std::vector<std::string>& groupOrder,
                                  const std::function<std::string(const QueryOutcome&)>& groupOf) {
    std::vector<ScoreRow> rows;
    for (std::size_t method = 0; method < methods.size(); ++method) {
        std::map<std::string, std::vector<QueryRank>> ranksByGroup;
        for (const QueryOutcome& outcome : outcomes)
            ranksByGroup[groupOf(outcome)].push_back(outcome.rankByMethod.at(method));
        for (const std::string& group : groupOrder) {
            const auto found = ranksByGroup.find(group);
            if (found != ranksByGroup.end()) rows.push_back({methods[method], group, scoreQueries(found->second)});
        }
    }
    return rows;
}

std::string jsonString(const std::string& text) {
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
            quoted += escaped;
        } else {
            quoted += c;
        }
    }
    return quoted + "\"";
}

std::string fixed(double value, int decimals) {
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

void writeRows(std::ostream& out, const std::vector<ScoreRow>& rows, const char* groupKey) {
    out << "[\n";
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const ScoreRow& row = rows[i];
        out << "    {\"method\": " << jsonString(row.method) << ", \"" << groupKey << "\": " << jsonString(row.group)
            << ", \"queries\": " << row.scores.queries << ", \"recall_at_1\": " << fixed(row.scores.recallAt1, 4)
            << ", \"recall_at_10\": " << fixed(row.scores.recallAt10, 4)
            << ", \"mAP\": " << fixed(row.scores.meanAveragePrecision, 4) << "}" << (i + 1 < rows.size() ? "," : "")
            << "\n";
    }
    out << "  ]";
}

}  // namespace

std::vector<ScoreRow> scoreByBlock(const std::vector<QueryOutcome>& outcomes, const std::vector<std::string>& methods) {
    const auto& transforms = queryTransforms();
    std::vector<std::string> order;
    for (QueryBlock block :
         {QueryBlock::Identity, QueryBlock::Jpeg, QueryBlock::Crop, QueryBlock::Strong, QueryBlock::Unseen}) {
        order.push_back(blockName(block));
    }
    std::vector<ScoreRow> rows = scoreGroups(outcomes, methods, order, [&transforms](const QueryOutcome& outcome) {
        return std::string(blockName(transforms.at(outcome.transform).block));
    });
    const std::vector<ScoreRow> overall =
        scoreGroups(outcomes, methods, {"overall"}, [](const QueryOutcome&) { return std::string("overall"); });
    // Each method's overall row follows its blocks.
    std::vector<ScoreRow> ordered;
    for (const ScoreRow& total : overall) {
        for (const ScoreRow& row : rows) {
            if (row.method == total.method) ordered.push_back(row);
        }
        ordered.push_back(total);
    }
    return ordered;
}

std::vector<ScoreRow> scoreByTransform(const std::vector<QueryOutcome>& outcomes,
                                       const std::vector<std::string>& methods) {
    const auto& transforms = queryTransforms();
    std::vector<std::string> order;
    for (const QueryTransform& transform : transforms) order.push_back(transform.name);
    return scoreGroups(outcomes, methods, order,
                       [&transforms](const QueryOutcome& outcome) { return transforms.at(outcome.transform).name; });
}

void printScoreTable(std::ostream& out, const std::string& title, const std::vector<ScoreRow>& rows,
                     const std::vector<std::string>& methods) {
    std::vector<std::string> groups;
    std::map<std::string, std::map<std::string, RetrievalScores>> byGroup;
    for (const ScoreRow& row : rows) {
        if (byGroup.find(row.group) == byGroup.end()) groups.push_back(row.group);
        byGroup[row.group][row.method] = row.scores;
    }
    char cell[64];
    std::snprintf(cell, sizeof cell, "%-34s %7s", title.c_str(), "queries");
    out << cell;
    for (const std::string& method : methods) {
        std::snprintf(cell, sizeof cell, " | %-19s", method.c_str());
        out << cell;
    }
    out << "\n" << std::string(42, ' ');
    for (std::size_t i = 0; i < methods.size(); ++i) out << " |  R@1  R@10   mAP  ";
    out << "\n";
    for (const std::string& group : groups) {
        const auto& scores = byGroup[group];
        std::snprintf(cell, sizeof cell, "%-34s %7zu", group.c_str(), scores.begin()->second.queries);
        out << cell;
        for (const std::string& method : methods) {
            const auto found = scores.find(method);
            if (found == scores.end()) {
                out << " | " << std::string(19, ' ');
                continue;
            }
            std::snprintf(cell, sizeof cell, " | %5.3f %5.3f %5.3f  ", found->second.recallAt1,
                          found->second.recallAt10, found->second.meanAveragePrecision);
            out << cell;
        }
        out << "\n";
    }
}

void printThresholds(std::ostream& out, const ThresholdReport& threshold) {
    char line[200];
    const auto point = [](const std::optional<OperatingPoint>& at) {
        char cell[64];
        if (!at) return std::string("        none");
        std::snprintf(cell, sizeof cell, "%9.3f %5.3f %5.3f", at->threshold, at->precision, at->recall);
        return std::string(cell);
    };
    std::snprintf(line, sizeof line, "%-14s %7s %7s | %-21s | %-21s | %-21s\n", "kind", "queries", "absent",
                  "own 95 % precision", "common threshold", "shipped rule");
    out << line;
    std::snprintf(line, sizeof line, "%-30s | %-21s | %-21s | %-21s\n", "", " distance  prec   rec",
                  " distance  prec   rec", " distance  prec   rec");
    out << line;
    for (const KindThreshold& kind : threshold.kinds) {
        std::snprintf(line, sizeof line, "%-14s %7zu %7zu | %s | %s | %s\n", kind.kind.c_str(), kind.positiveQueries,
                      kind.negativeQueries, point(kind.atWantedPrecision).c_str(),
                      point(kind.atCommonThreshold).c_str(), point(kind.atShippedRule).c_str());
        out << line;
    }
}

void writeJson(std::ostream& out, const RunFacts& facts, const std::vector<ScoreRow>& blocks,
               const std::vector<std::pair<std::string, std::vector<ScoreRow>>>& blocksByKind,
               const std::vector<ScoreRow>& transforms, const ThresholdReport& threshold) {
    out << "{\n";
    out << "  \"photos\": " << facts.photos << ",\n";
    out << "  \"indexed\": " << facts.indexed << ",\n";
    out << "  \"query_sources\": " << facts.sources << ",\n";
    out << "  \"held_out\": " << facts.heldOut << ",\n";
    out << "  \"split\": " << jsonString(facts.split) << ",\n";
    out << "  \"model\": " << jsonString(facts.model) << ",\n";
    out << "  \"scored_depth\": " << kScoredDepth << ",\n";
    out << "  \"search_disagreements\": " << facts.searchDisagreements << ",\n";
    out << "  \"seconds\": " << fixed(facts.seconds, 0) << ",\n";
    out << "  \"blocks\": ";
    writeRows(out, blocks, "block");
    out << ",\n  \"transforms\": ";
    writeRows(out, transforms, "transform");
    out << ",\n  \"blocks_by_kind\": {";
    for (std::size_t k = 0; k < blocksByKind.size(); ++k) {
        out << (k ? ",\n    " : "\n    ") << jsonString(blocksByKind[k].first) << ": ";
        writeRows(out, blocksByKind[k].second, "block");
    }
    out << "}";
    const auto point = [](const std::optional<OperatingPoint>& at) {
        if (!at) return std::string("null");
        return "{\"distance\": " + fixed(at->threshold, 4) + ", \"precision\": " + fixed(at->precision, 4) +
               ", \"recall\": " + fixed(at->recall, 4) + ", \"accepted\": " + std::to_string(at->accepted) + "}";
    };
    out << ",\n  \"threshold\": {\"wanted_precision\": " << fixed(threshold.wantedPrecision, 2)
        << ", \"common_distance\": " << (threshold.commonThreshold ? fixed(*threshold.commonThreshold, 4) : "null")
        << ", \"shipped_distance\": " << fixed(threshold.shippedThreshold, 4) << ", \"kinds\": [";
    for (std::size_t k = 0; k < threshold.kinds.size(); ++k) {
        const KindThreshold& kind = threshold.kinds[k];
        out << (k ? ",\n    " : "\n    ") << "{\"kind\": " << jsonString(kind.kind)
            << ", \"positive_queries\": " << kind.positiveQueries << ", \"negative_queries\": " << kind.negativeQueries
            << ", \"at_wanted_precision\": " << point(kind.atWantedPrecision)
            << ", \"at_common\": " << point(kind.atCommonThreshold)
            << ", \"at_shipped_rule\": " << point(kind.atShippedRule) << "}";
    }
    out << "]}\n}\n";
}
