// The likeness command driven as a user drives it: setting up a home, what it says outside one,
// classify, the progress display, help and version. Adding and searching have their own files.
#include <fstream>
#include <regex>

#include "CliTestSupport.h"

namespace fs = std::filesystem;

TEST_F(CliTest, InitFindsModelsInOrderAndGuardsAnExistingHome) {
    EXPECT_TRUE(fs::is_regular_file(home / "model" / "v0.net"));
    EXPECT_TRUE(fs::is_regular_file(home / "model" / "v0.dat"));
    EXPECT_TRUE(fs::is_directory(home / "pictures"));

    const CommandRun again = likeness("init --model " + shellQuoted(LIKENESS_TEST_MODEL_DIR) + " home");
    EXPECT_EQ(again.status, 2);
    EXPECT_NE(again.err.find("already has a model"), std::string::npos) << again.err;
    EXPECT_EQ(likeness("init --force --model " + shellQuoted(LIKENESS_TEST_MODEL_DIR) + " home").status, 0);

    const CommandRun fromEnvironment = runShell(
        "LIKENESS_MODEL_DIR=" + shellQuoted(LIKENESS_TEST_MODEL_DIR) + " " + shellQuoted(LIKENESS_CLI) + " init other",
        work);
    EXPECT_EQ(fromEnvironment.status, 0) << fromEnvironment.err;
    EXPECT_NE(fromEnvironment.out.find("$LIKENESS_MODEL_DIR"), std::string::npos) << fromEnvironment.out;
    EXPECT_NE(fromEnvironment.out.find("next: likeness --home other add FOLDER_OF_PICTURES"), std::string::npos)
        << fromEnvironment.out;
    EXPECT_TRUE(fs::is_regular_file(work / "other" / "model" / "v0.dat"));

    const CommandRun nowhere =
        runShell("LIKENESS_MODEL_DIR=/nonexistent-model " + shellQuoted(LIKENESS_CLI) + " init third", work);
    EXPECT_EQ(nowhere.status, 2);
    EXPECT_NE(nowhere.err.find("/nonexistent-model"), std::string::npos) << nowhere.err;
    EXPECT_FALSE(fs::exists(work / "third"));
}

TEST_F(CliTest, CommandsOutsideAHomeSayHowToMakeOne) {
    fs::create_directories(work / "empty");
    for (const std::string command : {"info", "add pics", "search pics/scene1.png", "classify pics/scene1.png"}) {
        const CommandRun run = runShell(shellQuoted(LIKENESS_CLI) + " --home empty " + command, work);
        EXPECT_EQ(run.status, 2) << command;
        EXPECT_NE(run.err.find("likeness init empty"), std::string::npos) << command << ": " << run.err;
    }
    EXPECT_EQ(runShell(shellQuoted(LIKENESS_CLI) + " --home missing info", work).status, 2);
}

TEST_F(CliTest, KeysTheLibraryRefusesAreReportedAsNotStored) {
    fs::copy_file(pics / "scene1.png", work / "feat.txt");
    const CommandRun run = likeness("add --into '' feat.txt");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("feat.txt: not stored as feat.txt: the key is refused: it names the feature file"),
              std::string::npos)
        << run.err;
}

TEST_F(CliTest, ClassifyNamesTheClassAndWhatTheClassesRate) {
    const CommandRun unnamed = likeness("classify pics/scene1.png");
    EXPECT_EQ(unnamed.status, 0) << unnamed.err;
    std::smatch match;
    ASSERT_TRUE(std::regex_match(unnamed.out, match, std::regex("class ([0-9]+) (-?[0-9.]+)\n"))) << unnamed.out;
    const int classId = std::stoi(match[1]);

    std::ofstream names(home / "model" / "classes.txt");
    names << "# colour mood\n";
    for (int i = 0; i <= classId; ++i) names << "kind" << i << "\n";
    names.close();
    const CommandRun named = likeness("classify pics/scene1.png");
    EXPECT_EQ(named.out, "kind" + std::to_string(classId) + " " + match[2].str() + " (colour mood)\n");

    const CommandRun several = likeness("classify pics/scene1.png pics/notes.txt pics/absent.png pics/scene2.jpg");
    EXPECT_EQ(several.status, 1);
    const std::vector<std::string> out = lines(several.out);
    ASSERT_EQ(out.size(), 2u) << several.out;
    EXPECT_EQ(out[0], "pics/scene1.png: " + named.out.substr(0, named.out.size() - 1));
    EXPECT_EQ(out[1].rfind("pics/scene2.jpg: kind", 0), 0u) << out[1];
    EXPECT_NE(several.err.find("pics/notes.txt: not a decodable picture"), std::string::npos) << several.err;
    EXPECT_NE(several.err.find("pics/absent.png: no such file"), std::string::npos) << several.err;

    const CommandRun info = likeness("info");
    EXPECT_NE(info.out.find("kind0"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("(colour mood)"), std::string::npos) << info.out;
    EXPECT_EQ(named.err.find("note:"), std::string::npos) << named.err;

    // The default model's kind of classes gets a plain word on what they are, once.
    std::ofstream(home / "model" / "classes.txt") << "# content rating\nDrawing\nHentai\nNeutral\nPorn\nSexy\n";
    const CommandRun rated = likeness("classify pics/scene1.png pics/scene2.jpg");
    EXPECT_NE(rated.out.find(" (content rating)\n"), std::string::npos) << rated.out;
    EXPECT_EQ(lines(rated.err).size(), 1u) << rated.err;
    EXPECT_NE(rated.err.find("content-rating classes"), std::string::npos) << rated.err;
}

TEST_F(CliTest, ProgressBarOnATerminalOnlyAndNotWhenQuiet) {
    // script(1) gives the command a terminal, as a user at a shell has.
    const std::string add = shellQuoted(LIKENESS_CLI) + " --home home add ";
    const CommandRun live = runShell("script -qec " + shellQuoted(add + "pics") + " /dev/null", work);
    EXPECT_EQ(live.status, 0) << live.out;
    EXPECT_NE(live.out.find("adding ["), std::string::npos) << live.out;
    EXPECT_NE(live.out.find("7/7"), std::string::npos) << live.out;

    // Copies allowed, so that every picture is stored again under the new prefix.
    const CommandRun quiet =
        runShell("script -qec " + shellQuoted(add + "--quiet --allow-copies --into again pics") + " /dev/null", work);
    EXPECT_EQ(quiet.status, 0) << quiet.out;
    EXPECT_EQ(quiet.out.find("adding ["), std::string::npos) << quiet.out;
    EXPECT_NE(quiet.out.find("added 7"), std::string::npos) << quiet.out;

    const CommandRun piped = likeness("add --into third pics");
    EXPECT_EQ(piped.err.find("adding ["), std::string::npos) << "no bar drawn into a file";
}

TEST_F(CliTest, EverySubcommandHasHelp) {
    for (const std::string command : {"init", "add", "add-url", "search", "classify", "info"}) {
        const CommandRun help = likeness(command + " --help");
        EXPECT_EQ(help.status, 0) << command;
        EXPECT_NE(help.out.find("Usage:"), std::string::npos) << command << ": " << help.out;
    }
    const CommandRun none = likeness("");
    EXPECT_EQ(none.status, 2);
    const CommandRun version = likeness("--version");
    EXPECT_EQ(version.status, 0) << version.err;
    EXPECT_TRUE(std::regex_match(version.out, std::regex("likeness [0-9]+\\.[0-9]+\\.[0-9]+\n"))) << version.out;
}
