// Building and destroying modules: model checks with their exit statuses, the log lines, two
// modules in one process, and a feature file left untouched by shutdown.
#include <filesystem>
#include <string>
#include <type_traits>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "module/Module.h"

namespace fs = std::filesystem;

namespace {

std::size_t count(const std::string& text, const std::string& what) {
    std::size_t found = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++found;
    return found;
}

}  // namespace

// A module is handed back to ExitModule; deleting it through the interface must not compile.
static_assert(!std::is_destructible_v<IModule>, "IModule's destructor is not public");

TEST(ModuleLifecycle, MissingModelFilesEndTheProcessWithStatus48AndSayWhere) {
    TempHome home;
    const std::string expectedError = "likeness: the model is missing: looked for " + home.path() +
                                      "/model/v0.net and " + home.path() + "/model/v0.dat\n";
    fs::rename("model/v0.dat", "v0.dat.aside");
    LogWatch log;
    const ChildOutcome noWeights = runInChild([] { InitialModule("feat.txt"); });
    EXPECT_EQ(noWeights.exitStatus, 48);
    EXPECT_EQ(noWeights.standardError, expectedError);
    fs::rename("model/v0.net", "v0.net.aside");
    fs::rename("v0.dat.aside", "model/v0.dat");
    const ChildOutcome noNet = runInChild([] { InitialModule("feat.txt"); });
    EXPECT_EQ(noNet.exitStatus, 48);
    EXPECT_EQ(noNet.standardError, expectedError);
    EXPECT_EQ(noNet.standardOutput, "");
    EXPECT_EQ(count(log.added(), "Model read Failed, check model path !! \n"), 2u);
}

TEST(ModuleLifecycle, EmptyNetworkEndsTheProcessWithStatus156) {
    TempHome home;
    writeFile("model/v0.net", "name: \"nothing\"\n");
    writeFile("model/v0.dat", "");
    const ChildOutcome outcome = runInChild([] { InitialModule("feat.txt"); });
    EXPECT_EQ(outcome.exitStatus, 156);
    EXPECT_EQ(outcome.standardOutput, "read net empty!!\n");
}

TEST(ModuleLifecycle, TwoModulesAndAnUntouchedFeatureFile) {
    TempHome home;
    writeFile("a.jpg", "x");
    std::string record = "a.jpg|";
    for (int i = 0; i < 512; ++i) record += "0.25|";
    writeFile("feat.txt", record + "\n" + "junk line\n");
    const std::string before = readFile("feat.txt");
    LogWatch log;
    ImplIModule* first = InitialModule("feat.txt");
    ImplIModule* second = InitialModule("absent.txt");
    EXPECT_EQ(first->features().size(), 1u);
    EXPECT_EQ(second->features().size(), 0u);
    ExitModule(first);
    ExitModule(second);
    EXPECT_EQ(readFile("feat.txt"), before);
    EXPECT_FALSE(fs::exists("absent.txt"));
    const std::string lines = log.added();
    EXPECT_EQ(count(lines, "ImplIModule !! \n"), 2u);
    EXPECT_EQ(count(lines, "loadfeatDB2Map(featdbfile) successful !! \n"), 2u);
    EXPECT_EQ(count(lines, "succeed in load features !! \n"), 1u) << "a missing file logs nothing";
    EXPECT_EQ(count(lines, "~ImplIModule() successful !! \n"), 2u);
    EXPECT_LT(lines.find("ImplIModule !! \n"), lines.find("loadfeatDB2Map(featdbfile) successful !! \n"));
}
