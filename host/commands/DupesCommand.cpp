// `likeness dupes`: the groups of near-duplicates among the stored pictures, as text, JSON or a
// page of thumbnails, and the picture of each group that a rule would keep. It reads the
// collection and its files' sizes and times, and writes nothing but the page it is asked for.
#include <charconv>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <limits>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "CommandSupport.h"
#include "Duplicates.h"
#include "JsonText.h"
#include "Progress.h"
#include "ResultsPage.h"
#include "commands/Commands.h"
#include "module/NearPairs.h"
#include "module/SamePicture.h"

namespace fs = std::filesystem;

namespace likeness_cli {
namespace {

struct DupesOptions {
    // Pairs closer than this are near-duplicates; without it (0), pairs the same-picture rule takes
    // for one picture.
    double threshold = 0;
    bool json = false;
    std::string htmlFile;
    std::string keep;  // "largest", "oldest", "first" or empty
};

KeepRule keepRule(const std::string& name) {
    if (name == "largest") return KeepRule::largest;
    if (name == "oldest") return KeepRule::oldest;
    if (name == "first") return KeepRule::first;
    return KeepRule::none;
}

// The float below which exactly the float distances lie that are below threshold.
float floatThreshold(double threshold) {
    float rounded = static_cast<float>(threshold);
    if (static_cast<double>(rounded) < threshold)
        rounded = std::nextafter(rounded, std::numeric_limits<float>::infinity());
    return rounded;
}

std::string decimal(double value, const char* format) {
    char text[64];
    std::snprintf(text, sizeof(text), format, value);
    return text;
}

// The threshold as the user wrote it: the shortest decimal that reads back as the same number (as
// the float it is, for the default, which is one).
std::string thresholdText(double threshold) {
    char text[128];
    const float single = static_cast<float>(threshold);
    const std::to_chars_result written =
        static_cast<double>(single) == threshold
            ? std::to_chars(text, text + sizeof(text), single, std::chars_format::fixed)
            : std::to_chars(text, text + sizeof(text), threshold, std::chars_format::fixed);
    return std::string(text, written.ptr);
}

std::string counted(std::size_t count, const std::string& one, const std::string& many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

// Why the kept member was chosen, for the text output.
std::string keepReason(const DuplicateGroup& group, KeepRule rule) {
    const std::optional<FileFacts>& file = group.members[*group.kept].file;
    if (rule == KeepRule::first) return "the first key";
    if (!file) return "the first key: no file of the group could be examined";
    if (rule == KeepRule::largest) return "the largest file, " + std::to_string(file->bytes) + " bytes";
    if (file->taken) return "the oldest, taken " + file->taken->text;
    return "the oldest, modified " + utcTimeText(file->modifiedSeconds);
}

bool bySamePictureRule(double threshold) {
    return threshold == 0;
}

// What made a pair near-duplicates, for the summary: "distance below 100.3" or the rule.
std::string criterionText(double threshold) {
    return bySamePictureRule(threshold) ? "the same-picture rule" : "distance below " + thresholdText(threshold);
}

std::string summaryLine(const std::vector<DuplicateGroup>& groups, std::size_t pictures, double threshold) {
    const std::string where =
        "among " + counted(pictures, "stored picture", "stored pictures") + " (" + criterionText(threshold) + ")";
    if (groups.empty()) return "no near-duplicates " + where;
    std::size_t members = 0;
    for (const DuplicateGroup& group : groups) members += group.members.size();
    return counted(groups.size(), "group", "groups") + " of near-duplicates, " +
           counted(members, "picture", "pictures") + " in all, " + where;
}

void printText(const std::vector<DuplicateGroup>& groups, KeepRule rule, const std::string& summary) {
    for (std::size_t g = 0; g < groups.size(); ++g) {
        const DuplicateGroup& group = groups[g];
        // Each member once, with its distance from the first: a group of n pictures is n lines, where
        // its pairs could be n * (n - 1) / 2.
        std::cout << "group " << g + 1 << ": " << group.members.size() << " pictures, distances from the first\n";
        for (std::size_t m = 0; m < group.members.size(); ++m) {
            const DuplicateMember& member = group.members[m];
            std::cout << "    " << (m == 0 ? std::string(7, ' ') : decimal(member.distanceToFirst, "%7.3f")) << "  "
                      << member.key << "\n";
        }
        if (group.kept)
            std::cout << "  keep: " << group.members[*group.kept].key << " (" << keepReason(group, rule) << ")\n";
        std::cout << "\n";
    }
    std::cout << summary << std::endl;
}

void printJson(const std::vector<DuplicateGroup>& groups, KeepRule rule, const std::string& ruleName,
               std::size_t pictures, double threshold) {
    nlohmann::ordered_json answer = nlohmann::ordered_json::object();
    answer["threshold"] =
        jsonNumber(bySamePictureRule(threshold) ? likeness::samePictureBelow() : floatThreshold(threshold));
    answer["same_picture_rule"] = bySamePictureRule(threshold);
    answer["pictures"] = pictures;
    if (rule != KeepRule::none) answer["keep_rule"] = ruleName;
    answer["groups"] = nlohmann::ordered_json::array();
    for (const DuplicateGroup& group : groups) {
        nlohmann::ordered_json entry = nlohmann::ordered_json::object();
        entry["members"] = nlohmann::ordered_json::array();
        for (const DuplicateMember& member : group.members) {
            nlohmann::ordered_json item = nlohmann::ordered_json::object();
            putText(item, "key", member.key);
            item["bytes"] = member.file ? nlohmann::ordered_json(member.file->bytes) : nlohmann::ordered_json();
            item["modified"] = member.file ? nlohmann::ordered_json(utcTimeText(member.file->modifiedSeconds))
                                           : nlohmann::ordered_json();
            item["taken"] = member.file && member.file->taken ? nlohmann::ordered_json(member.file->taken->text)
                                                              : nlohmann::ordered_json();
            item["distance_to_first"] = jsonNumber(member.distanceToFirst);
            entry["members"].push_back(item);
        }
        entry["pairs"] = nlohmann::ordered_json::array();
        for (const DuplicatePair& pair : group.pairs) {
            nlohmann::ordered_json item = nlohmann::ordered_json::object();
            putText(item, "first", group.members[pair.first].key);
            putText(item, "second", group.members[pair.second].key);
            item["distance"] = jsonNumber(pair.distance);
            entry["pairs"].push_back(item);
        }
        if (group.kept) putText(entry, "keep", group.members[*group.kept].key);
        answer["groups"].push_back(entry);
    }
    std::cout << answer.dump(2) << std::endl;
}

std::string pageSummary(const std::string& summary, KeepRule rule, const std::string& ruleName, double threshold) {
    const std::string joined = bySamePictureRule(threshold)
                                   ? "that the same-picture rule (" + likeness::samePictureRuleText() +
                                         ") takes for the same picture as another of its members"
                                   : "closer than " + thresholdText(threshold) + " to another of its members";
    std::string text = summary + ". A group holds the pictures " + joined +
                       "; under each picture is its distance from the group's first. 100 is the least possible "
                       "distance (the same feature vector).";
    if (rule != KeepRule::none)
        text += " The picture marked \"keep\" is the one the rule " + ruleName + " would keep; nothing was deleted.";
    return text;
}

int runDupes(const GlobalOptions& global, const DupesOptions& options) {
    const PathDisplay display;
    const std::string htmlFile = options.htmlFile.empty() ? "" : fs::absolute(options.htmlFile).string();
    const KeepRule rule = keepRule(options.keep);
    const std::optional<fs::path> home = enterHome(global.home);
    if (!home) return kExitUsage;
    std::vector<DuplicateGroup> groups;
    std::size_t pictures = 0;
    {
        const Collection collection;
        pictures = collection.size();
        Progress progress("comparing pairs", pictures < 2 ? 0 : pictures * (pictures - 1) / 2, global.quiet);
        const auto advance = [&progress](std::size_t examined, std::size_t) { progress.advanceTo(examined); };
        const std::vector<likeness::NearPair> pairs =
            bySamePictureRule(options.threshold) ? collection.samePicturePairs(advance)
                                                 : collection.nearPairs(floatThreshold(options.threshold), advance);
        progress.finish();
        groups = groupPairs(pairs);
        for (DuplicateGroup& group : groups) measureFromFirst(group, collection.features());
    }
    for (DuplicateGroup& group : groups) {
        readFileFacts(group);
        chooseKept(group, rule);
    }
    const std::string summary = summaryLine(groups, pictures, options.threshold);
    // Groups come largest first.
    if (!groups.empty() && groups.front().members.size() > kLargeGroup)
        complain("group 1 holds " + std::to_string(groups.front().members.size()) + " pictures: " +
                 (bySamePictureRule(options.threshold) ? "by the same-picture rule"
                                                       : "at a distance below " + thresholdText(options.threshold)) +
                 ", chains of close pairs join pictures that are no copies of one another; a lower --threshold "
                 "gives groups of copies");
    if (options.json) printJson(groups, rule, options.keep, pictures, options.threshold);
    else printText(groups, rule, summary);
    if (!htmlFile.empty()) {
        try {
            writeDuplicatesPage(htmlFile, "likeness: near-duplicates",
                                pageSummary(summary, rule, options.keep, options.threshold), groups);
        } catch (const std::runtime_error& failure) {
            complain(failure.what());
            return kExitSomeFailed;
        }
        if (!global.quiet) std::cerr << "wrote the page " << display(htmlFile) << std::endl;
    }
    return kExitOk;
}

class DupesCommand final : public Command {
public:
    void define(CLI::App& command) override {
        command.description(
            "Print the groups of near-duplicates among the stored pictures: pictures closer than the threshold to "
            "another, grouped with everything they are close to, largest group first. Deletes nothing");
        command
            .add_option("--threshold", options.threshold,
                        "Pairs closer than this distance are near-duplicates; 100 is the least possible distance (the "
                        "same feature vector). Without it, the pairs that search's same-picture rule takes for one "
                        "picture: " +
                            likeness::samePictureRuleText())
            ->check(CLI::Validator(
                [](std::string& text) {
                    std::size_t end = 0;
                    try {
                        const double value = std::stod(text, &end);
                        if (end == text.size() && value > 100.0 && value <= 3.4e38) return std::string();
                    } catch (const std::logic_error&) {
                    }
                    return "--threshold takes a distance above 100, the least possible one (got " + text + ")";
                },
                "DISTANCE>100"));
        command.add_flag(
            "--json", options.json,
            "Print JSON: {\"threshold\", \"pictures\", \"groups\": [{\"members\": [{\"key\", "
            "\"bytes\", \"modified\", \"taken\", \"distance_to_first\"}], \"pairs\": [{\"first\", \"second\", "
            "\"distance\"}], \"keep\"}]}: every pair, where the text and the page show each member once");
        command.add_option("--html", options.htmlFile,
                           "Also write a self-contained page with each group's thumbnails to this file");
        command
            .add_option("--keep", options.keep,
                        "Name the picture of each group to keep: the largest file, the oldest photo (the date it was "
                        "taken, from its EXIF data, else its file's modification time) or the first key (ties go to "
                        "the first key). Nothing is deleted")
            ->check(CLI::IsMember({"largest", "oldest", "first"}));
    }
    int run(const GlobalOptions& global) override { return runDupes(global, options); }

private:
    DupesOptions options;
};

}  // namespace

std::unique_ptr<Command> makeDupesCommand() {
    return std::make_unique<DupesCommand>();
}

}  // namespace likeness_cli
