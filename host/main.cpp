// likeness: the command-line host of the likeness library. Parses the command line and hands
// each subcommand to its implementation in Commands.cpp.
#include <exception>
#include <iostream>
#include <stdexcept>
#include <string>

#include <CLI/CLI.hpp>

#include "Commands.h"
#include "Outcome.h"

using namespace likeness_cli;

int main(int argc, char** argv) {
    CLI::App app{
        "likeness: find the pictures of a local collection that look most like a query picture.\n"
        "A collection lives in a home folder (model/, feat.txt, the stored pictures, dated logs)."};
    app.require_subcommand(1);
    app.fallthrough();
    app.set_version_flag("--version", std::string("likeness ") + LIKENESS_VERSION);
    GlobalOptions global;
    app.add_option("--home", global.home, "The collection's home folder (default: the current folder)");
    app.add_flag("-q,--quiet", global.quiet, "No progress display");
    app.add_flag("-v,--verbose", global.verbose, "A line for every picture added, not only for problems");

    InitOptions init;
    CLI::App* initCommand = app.add_subcommand("init", "Create a home with a copy of the default model");
    initCommand->add_option("DIR", init.dir, "The home to create (default: --home)");
    initCommand->add_option("--model", init.modelDir,
                            "Copy the model from this folder instead of the default one, which is looked for in "
                            "$LIKENESS_MODEL_DIR, then <prefix>/share/likeness/model, then the source tree's model/");
    initCommand->add_flag("--force", init.force, "Replace the model of an existing home");

    AddOptions add;
    CLI::App* addCommand = app.add_subcommand("add", "Add picture files, or folders searched recursively for pictures");
    addCommand->add_option("PATH", add.paths, "Picture files and folders")->required();
    addCommand
        ->add_option("--into", add.into,
                     "Folder of the home the copies are stored in; a folder argument's own name and the "
                     "path inside it follow")
        ->capture_default_str();
    addCommand->add_flag("--allow-copies", add.allowCopies,
                         "Store a file even when a stored picture holds the same bytes under another name");
    addCommand->add_flag("--force", add.force, "Accept an --into outside the home (absolute, or climbing out with ..)");

    AddUrlOptions addUrl;
    CLI::App* addUrlCommand = app.add_subcommand("add-url", "Download pictures by URL and add them");
    addUrlCommand->add_option("URL", addUrl.urls, "http:// or https:// addresses of pictures");
    addUrlCommand->add_option("--from", addUrl.fromFile, "Read URLs from this file, one a line (- for standard input)");
    addUrlCommand->add_option("--into", addUrl.into, "Folder of the home the downloads are stored in")
        ->capture_default_str();
    addUrlCommand->add_flag("--batch", addUrl.batch,
                            "Add them in one library call, which appends all their records at once");
    addUrlCommand->add_flag("--force", addUrl.force, "Accept an --into outside the home");

    SearchOptions search;
    CLI::App* searchCommand =
        app.add_subcommand("search", "Print the keys of the stored pictures nearest to each query, nearest first");
    searchCommand->add_option("QUERY", search.queries, "Picture files or http(s):// URLs")->required();
    searchCommand->add_option("-n,--count", search.count, "How many results per query")
        ->capture_default_str()
        ->check(CLI::Validator(
            [](std::string& text) {
                std::size_t end = 0;
                try {
                    if (std::stoi(text, &end) >= 1 && end == text.size()) return std::string();
                } catch (const std::logic_error&) {
                }
                return "-n takes a whole number of results, at least 1 (got " + text + ")";
            },
            "COUNT>=1"));
    searchCommand->add_flag("--json", search.json,
                            "Print JSON: [{\"query\": ..., \"results\": [{\"key\", \"distance\", "
                            "\"same_picture\"}]}]");
    searchCommand->add_option("--html", search.htmlFile,
                              "Also write a self-contained results page with thumbnails to this file");

    DupesOptions dupes;
    CLI::App* dupesCommand = app.add_subcommand(
        "dupes",
        "Print the groups of near-duplicates among the stored pictures: pictures closer than the threshold to "
        "another, grouped with everything they are close to, largest group first. Deletes nothing");
    dupesCommand
        ->add_option("--threshold", dupes.threshold,
                     "Pairs closer than this distance are near-duplicates; 100 is the least possible distance (the "
                     "same feature vector), and the default is the same-picture threshold of search")
        ->capture_default_str()
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
    dupesCommand->add_flag("--json", dupes.json,
                           "Print JSON: {\"threshold\", \"pictures\", \"groups\": [{\"members\": [{\"key\", "
                           "\"bytes\", \"modified\"}], \"pairs\": [{\"first\", \"second\", \"distance\"}], "
                           "\"keep\"}]}");
    dupesCommand->add_option("--html", dupes.htmlFile,
                             "Also write a self-contained page with each group's thumbnails to this file");
    dupesCommand
        ->add_option("--keep", dupes.keep,
                     "Name the picture of each group to keep: the largest file, the oldest modification time or "
                     "the first key (ties go to the first key). Nothing is deleted")
        ->check(CLI::IsMember({"largest", "oldest", "first"}));

    std::vector<std::string> classifyPaths;
    CLI::App* classifyCommand =
        app.add_subcommand("classify",
                           "Print the model's best class for each picture and its score. The default model's classes "
                           "(Drawing, Hentai, Neutral, Porn, Sexy) rate content; they do not say what a picture shows");
    classifyCommand->add_option("PATH", classifyPaths, "Picture files")->required();

    CLI::App* infoCommand =
        app.add_subcommand("info", "Print the home, its model, the number of pictures and the database size");

    RemoveOptions remove;
    CLI::App* removeCommand = app.add_subcommand(
        "remove",
        "Take pictures out of the collection by key, as search prints them; their stored copies stay "
        "unless --delete-files is given");
    removeCommand->add_option("KEY", remove.keys, "Keys of stored pictures (e.g. pictures/a.jpg)");
    removeCommand->add_flag("--missing", remove.missing,
                            "Instead of keys: remove the records whose stored copy is gone");
    removeCommand->add_flag("--delete-files", remove.deleteFiles, "Also delete the removed pictures' stored copies");

    CLI::App* compactCommand = app.add_subcommand(
        "compact",
        "Rewrite the feature file without what it loads nothing from: torn or damaged lines, records replaced "
        "by a later one of their key, records whose stored copy is gone (-v lists those keys)");

    ServeOptions serve;
    CLI::App* serveCommand = app.add_subcommand(
        "serve", "Serve the collection over HTTP (JSON endpoints, and a page at / to search it from a browser)");
    serveCommand
        ->add_option("--listen", serve.listen,
                     "ADDRESS:PORT to listen on; port 0 picks a free one. The address it listens on is printed")
        ->capture_default_str();
    serveCommand->add_option("--max-body", serve.maxBodyBytes, "The largest request body accepted, in bytes")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    serveCommand
        ->add_option("--time-limit", serve.timeLimitSeconds,
                     "Seconds a request may take to arrive and to wait for the collection")
        ->capture_default_str()
        ->check(CLI::Range(1, 86400));

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int status = app.exit(error);
        return status == 0 ? kExitOk : kExitUsage;
    }

    try {
        if (initCommand->parsed()) return runInit(global, init);
        if (addCommand->parsed()) return runAdd(global, add);
        if (addUrlCommand->parsed()) return runAddUrl(global, addUrl);
        if (searchCommand->parsed()) return runSearch(global, search);
        if (dupesCommand->parsed()) return runDupes(global, dupes);
        if (classifyCommand->parsed()) return runClassify(global, classifyPaths);
        if (infoCommand->parsed()) return runInfo(global);
        if (removeCommand->parsed()) return runRemove(global, remove);
        if (compactCommand->parsed()) return runCompact(global);
        if (serveCommand->parsed()) return runServe(global, serve);
    } catch (const std::exception& failure) {
        std::cerr << "likeness: " << failure.what() << std::endl;
        return kExitUsage;
    }
    return kExitUsage;
}
