// The installed tree: `cmake --install` into a temporary prefix, then the example host built
// against it with find_package and with pkg-config, and the installed command run. Also the
// README's host, which must be examples/host.cpp to the byte, built against the build tree.
#include <fstream>
#include <regex>

#include "CliTestSupport.h"

namespace fs = std::filesystem;

namespace {

// Runs the example host in home (which holds model/ and pictures in in/) as the README says: it
// adds, reports each code, stores under pics/, which it makes, and fails when something failed.
void expectExampleHostWorks(const fs::path& host, const fs::path& home) {
    const std::string command = shellQuoted(host.string());
    const CommandRun run = runShell(command + " in/scene0.jpg in/scene1.png", home);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "in/scene0.jpg: 0 added\nin/scene1.png: 0 added\npics/scene0.jpg\npics/scene1.png\n");
    EXPECT_TRUE(fs::is_regular_file(home / "pics" / "scene1.png"));

    std::ofstream(home / "in" / "notes.jpg") << "not a picture\n";
    const CommandRun mixed = runShell(command + " in/scene1.png in/notes.jpg", home);
    EXPECT_EQ(mixed.status, 1) << "a picture that was not added is a failure";
    EXPECT_EQ(mixed.out.substr(0, mixed.out.find("pics/")),
              "in/scene1.png: -1 already in the collection\nin/notes.jpg: -3 not a decodable picture\n");

    const CommandRun query = runShell(command + " in/notes.jpg", home);
    EXPECT_EQ(query.status, 1);
    EXPECT_NE(query.err.find("in/notes.jpg: search failed with -1"), std::string::npos) << query.err;

    fs::create_directories(home / "elsewhere");
    const CommandRun noModel = runShell(command + " ../in/scene0.jpg", home / "elsewhere");
    EXPECT_EQ(noModel.status, 48);
    const fs::path net = home / "elsewhere" / "model" / "v0.net";
    EXPECT_NE(noModel.err.find("the model is missing: looked for " + net.string()), std::string::npos) << noModel.err;
}

class InstallTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        root = fs::temp_directory_path() / ("likeness-install-" + std::to_string(getpid()));
        fs::remove_all(root);
        fs::create_directories(root);
        prefix = root / "prefix";
        installed = runShell(
            "cmake --install " + shellQuoted(LIKENESS_BUILD_DIR) + " --prefix " + shellQuoted(prefix.string()), root);
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

    static void expectHostWorks(const fs::path& host, const std::string& name) {
        expectExampleHostWorks(host, makeHome(name));
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
                               "module/FeatureFileRewrite.h", "classifier/VnnClassifier.h", "log/EasyLog.h"})
        EXPECT_TRUE(fs::is_regular_file(prefix / "include" / "likeness" / header)) << header;
    EXPECT_TRUE(fs::is_regular_file(prefix / "lib" / "cmake" / "likeness" / "likenessConfig.cmake"));
    EXPECT_TRUE(fs::is_regular_file(prefix / "lib" / "pkgconfig" / "likeness.pc"));
}

TEST_F(InstallTest, ExampleHostBuildsWithFindPackage) {
    const fs::path project = root / "with-cmake";
    fs::create_directories(project);
    fs::copy_file(fs::path(LIKENESS_SOURCE_DIR) / "examples" / "host.cpp", project / "host.cpp");
    fs::copy_file(fs::path(LIKENESS_SOURCE_DIR) / "examples" / "CMakeLists.txt", project / "CMakeLists.txt");
    const CommandRun configure =
        runShell("cmake -S . -B build -DCMAKE_PREFIX_PATH=" + shellQuoted(prefix.string()), project);
    ASSERT_EQ(configure.status, 0) << configure.out << configure.err;
    const CommandRun build = runShell("cmake --build build", project);
    ASSERT_EQ(build.status, 0) << build.out << build.err;
    expectHostWorks(project / "build" / "host", "home-cmake");
}

TEST_F(InstallTest, ExampleHostBuildsWithPkgConfigWhichNamesOnlyTheLibrary) {
    const CommandRun libs = runShell(
        "PKG_CONFIG_PATH=" + shellQuoted((prefix / "lib" / "pkgconfig").string()) + " pkg-config --libs likeness",
        root);
    EXPECT_EQ(libs.status, 0) << libs.err;
    EXPECT_EQ(libs.out.find("opencv"), std::string::npos) << "OpenCV is the library's own dependency: " << libs.out;
    const std::string pkgConfig = "PKG_CONFIG_PATH=" + shellQuoted((prefix / "lib" / "pkgconfig").string()) +
                                  " pkg-config --cflags --libs likeness";
    const CommandRun build = runShell(
        "c++ -std=c++17 -Wall -Wextra -Werror " + shellQuoted(std::string(LIKENESS_SOURCE_DIR) + "/examples/host.cpp") +
            " -o host $(" + pkgConfig + ") -Wl,-rpath," + shellQuoted((prefix / "lib").string()),
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
    const std::string command = shellQuoted((prefix / "bin" / "likeness").string());
    const CommandRun init = runShell("env -u LIKENESS_MODEL_DIR " + command + " init fresh", root);
    EXPECT_EQ(init.status, 0) << init.err;
    EXPECT_NE(init.out.find("installed default"), std::string::npos) << init.out;
    EXPECT_EQ(readFile(root / "fresh" / "model" / "classes.txt"),
              "# content rating\nDrawing\nHentai\nNeutral\nPorn\nSexy\n");
    // The default model's classes rate content, and its output says so.
    ASSERT_EQ(runShell(shellQuoted(MAKE_TEST_PICTURES) + " in 1", root / "fresh").status, 0);
    const CommandRun classify = runShell(command + " classify in/scene0.jpg", root / "fresh");
    EXPECT_EQ(classify.status, 0) << classify.err;
    EXPECT_TRUE(std::regex_match(classify.out, std::regex("(Drawing|Hentai|Neutral|Porn|Sexy) [0-9.]+ "
                                                          "\\(content rating\\)\n")))
        << classify.out;
}

#ifdef LIKENESS_PYTHON_INSTALL_DIR
TEST_F(InstallTest, InstalledPythonModuleFindsItsLibraryWhereDebiansPythonLooks) {
    const fs::path home = makeHome("home-python");
    const CommandRun added = runShell(
        "PYTHONPATH=" + shellQuoted((prefix / LIKENESS_PYTHON_INSTALL_DIR).string()) +
            " /usr/bin/python3 -c 'import likeness; print(likeness.Collection(\".\").add(\"in/scene0.jpg\").result)'",
        home);
    EXPECT_EQ(added.status, 0) << added.err;
    EXPECT_EQ(added.out, "added\n");
    // Under the default prefix the package lands on the system Python's own path.
    const CommandRun path = runShell("/usr/bin/python3 -c 'import sys; print(*sys.path)'", root);
    EXPECT_NE((" " + path.out).find(" /usr/local/" LIKENESS_PYTHON_INSTALL_DIR " "), std::string::npos) << path.out;
}
#endif

// The README's host: the first C++ block after its heading "## A small host", and the CMake block
// after it.
TEST(ExampleHost, TheReadmesHostIsTheTestedOneAndRunsAsPrinted) {
    const std::string readme = readFile(fs::path(LIKENESS_SOURCE_DIR) / "README.md");
    const std::size_t heading = readme.find("\n## A small host");
    ASSERT_NE(heading, std::string::npos) << "README.md has no heading \"## A small host\"";
    const std::size_t begin = readme.find("```cpp\n", heading);
    ASSERT_NE(begin, std::string::npos);
    const std::size_t end = readme.find("\n```\n", begin);
    ASSERT_NE(end, std::string::npos);
    const std::string printed = readme.substr(begin + 7, end + 1 - (begin + 7));
    EXPECT_EQ(printed, readFile(fs::path(LIKENESS_SOURCE_DIR) / "examples" / "host.cpp"))
        << "README.md and examples/host.cpp must hold the same host";
    // Its build, which InstallTest.ExampleHostBuildsWithFindPackage runs.
    const std::size_t cmake = readme.find("```cmake\n", heading);
    ASSERT_NE(cmake, std::string::npos);
    EXPECT_EQ(readme.substr(cmake + 9, readme.find("```\n", cmake + 9) - (cmake + 9)),
              readFile(fs::path(LIKENESS_SOURCE_DIR) / "examples" / "CMakeLists.txt"))
        << "README.md and examples/CMakeLists.txt must hold the same build";

    const fs::path root = fs::temp_directory_path() / ("likeness-readme-host-" + std::to_string(getpid()));
    fs::remove_all(root);
    fs::create_directories(root / "home");
    std::ofstream(root / "host.cpp", std::ios::binary) << printed;
    const CommandRun build =
        runShell("c++ -std=c++17 -Wall -Wextra -Werror host.cpp -o host -I" + shellQuoted(LIKENESS_SOURCE_DIR) +
                     " $(pkg-config --cflags opencv4) -L" + shellQuoted(LIKENESS_BUILD_DIR) +
                     " -llikeness -Wl,-rpath," + shellQuoted(LIKENESS_BUILD_DIR),
                 root);
    ASSERT_EQ(build.status, 0) << build.err;
    fs::copy(LIKENESS_TEST_MODEL_DIR, root / "home" / "model", fs::copy_options::recursive);
    ASSERT_EQ(runShell(shellQuoted(MAKE_TEST_PICTURES) + " in 2", root / "home").status, 0);
    expectExampleHostWorks(root / "host", root / "home");
    if (!HasFailure()) fs::remove_all(root);
}
