// The installed tree: `cmake --install` into a temporary prefix, then the README's example host
// built against it with find_package and with pkg-config, and the installed command run.
#include <fstream>

#include "CliTestSupport.h"

namespace fs = std::filesystem;

namespace {

class InstallTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        root = fs::temp_directory_path() / ("likeness-install-" + std::to_string(getpid()));
        fs::remove_all(root);
        fs::create_directories(root);
        prefix = root / "prefix";
        installed = runShell("cmake --install " + shellQuoted(LIKENESS_BUILD_DIR) + " --prefix " +
                                 shellQuoted(prefix.string()),
                             root);
    }
    static void TearDownTestSuite() { fs::remove_all(root); }

    void SetUp() override { ASSERT_EQ(installed.status, 0) << installed.out << installed.err; }

    // A home with the test model, holding two pictures to add.
    static fs::path makeHome(const std::string& name) {
        const fs::path home = root / name;
        fs::create_directories(home);
        fs::copy(LIKENESS_TEST_MODEL_DIR, home / "model", fs::copy_options::recursive);
        EXPECT_EQ(runShell(shellQuoted(MAKE_TEST_PICTURES) + " in 2", home).status, 0);
        return home;
    }

    // Runs the example host in a fresh home and checks it added both pictures and found the first.
    static void expectHostWorks(const fs::path& host, const std::string& name) {
        const fs::path home = makeHome(name);
        const CommandRun run = runShell(shellQuoted(host.string()) + " in/scene0.jpg in/scene1.png", home);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.out, "in/scene0.jpg: 0\nin/scene1.png: 0\nscene0.jpg\nscene1.png\n");
    }

    static inline fs::path root;
    static inline fs::path prefix;
    static inline CommandRun installed;
};

}  // namespace

TEST_F(InstallTest, InstallsVersionedLibraryHeadersAndPackageFiles) {
    EXPECT_TRUE(fs::is_symlink(prefix / "lib" / "liblikeness.so"));
    EXPECT_TRUE(fs::is_regular_file(prefix / "lib" / "liblikeness.so.0.1.0"));
    const CommandRun soname = runShell("objdump -p " + shellQuoted((prefix / "lib" / "liblikeness.so").string()), root);
    EXPECT_NE(soname.out.find("SONAME               liblikeness.so.0"), std::string::npos) << soname.out;
    for (const char* header : {"module/Module.h", "module/IModule.h", "module/ImplIModule.h", "module/Export.h",
                               "classifier/VnnClassifier.h", "log/EasyLog.h"})
        EXPECT_TRUE(fs::is_regular_file(prefix / "include" / "likeness" / header)) << header;
    EXPECT_TRUE(fs::is_regular_file(prefix / "lib" / "cmake" / "likeness" / "likenessConfig.cmake"));
    EXPECT_TRUE(fs::is_regular_file(prefix / "lib" / "pkgconfig" / "likeness.pc"));
}

TEST_F(InstallTest, ExampleHostBuildsWithFindPackage) {
    const fs::path project = root / "with-cmake";
    fs::create_directories(project);
    fs::copy_file(fs::path(LIKENESS_SOURCE_DIR) / "examples" / "host.cpp", project / "host.cpp");
    fs::copy_file(fs::path(LIKENESS_SOURCE_DIR) / "tests" / "cli" / "example_project" / "CMakeLists.txt",
                  project / "CMakeLists.txt");
    const CommandRun configure =
        runShell("cmake -S . -B build -DCMAKE_PREFIX_PATH=" + shellQuoted(prefix.string()), project);
    ASSERT_EQ(configure.status, 0) << configure.out << configure.err;
    const CommandRun build = runShell("cmake --build build", project);
    ASSERT_EQ(build.status, 0) << build.out << build.err;
    expectHostWorks(project / "build" / "host", "home-cmake");
}

TEST_F(InstallTest, ExampleHostBuildsWithPkgConfig) {
    const std::string pkgConfig = "PKG_CONFIG_PATH=" + shellQuoted((prefix / "lib" / "pkgconfig").string()) +
                                  " pkg-config --cflags --libs likeness";
    const CommandRun build = runShell("c++ -std=c++17 -Wall -Wextra -Werror " +
                                          shellQuoted(std::string(LIKENESS_SOURCE_DIR) + "/examples/host.cpp") +
                                          " -o host $(" + pkgConfig + ") -Wl,-rpath," +
                                          shellQuoted((prefix / "lib").string()),
                                      root);
    ASSERT_EQ(build.status, 0) << build.err;
    expectHostWorks(root / "host", "home-pkg-config");
}

TEST_F(InstallTest, InstalledCommandFindsItsLibrary) {
    const fs::path home = makeHome("home-cli");
    const std::string command = shellQuoted((prefix / "bin" / "likeness").string());
    const CommandRun add = runShell(command + " add in", home);
    EXPECT_EQ(add.status, 0) << add.err;
    const CommandRun info = runShell(command + " info", home);
    EXPECT_NE(info.out.find("pictures:  2\n"), std::string::npos) << info.out << info.err;
}

TEST_F(InstallTest, InitCopiesTheInstalledDefaultModel) {
    if (!fs::is_regular_file(fs::path(LIKENESS_SOURCE_DIR) / "model" / "v0.dat"))
        GTEST_SKIP() << "no default model in the source tree; run `make model`";
    const fs::path model = prefix / "share" / "likeness" / "model";
    ASSERT_TRUE(fs::is_regular_file(model / "v0.net"));
    const CommandRun init = runShell("env -u LIKENESS_MODEL_DIR " + shellQuoted((prefix / "bin" / "likeness").string()) +
                                         " init fresh",
                                     root);
    EXPECT_EQ(init.status, 0) << init.err;
    EXPECT_NE(init.out.find("installed default"), std::string::npos) << init.out;
    EXPECT_EQ(readFile(root / "fresh" / "model" / "classes.txt"), "Drawing\nHentai\nNeutral\nPorn\nSexy\n");
}
