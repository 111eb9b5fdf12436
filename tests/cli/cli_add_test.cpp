// `likeness add` as a user meets it: keys that keep folder names apart, duplicates told from
// clashes and from copies, and a line for everything it does not add, after which it goes on.
#include <sys/stat.h>

#include <fstream>

#include <opencv2/imgcodecs.hpp>

#include "CliTestSupport.h"

namespace fs = std::filesystem;

namespace {

void writeBytes(const fs::path& file, const std::string& bytes) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << bytes;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Two folders that each hold a pic.png, different pictures and unlike the scenes in pics/.
void makeSameNamedPictures(const fs::path& work) {
    for (const char* folder : {"a", "b"}) {
        cv::Mat picture(90, 120, CV_8UC3, cv::Scalar(30, 200, 90));
        picture(cv::Rect(folder[0] == 'a' ? 10 : 60, 20, 40, 50)).setTo(cv::Scalar(250, 20, 20));
        fs::create_directories(work / "photos" / folder);
        ASSERT_TRUE(cv::imwrite((work / "photos" / folder / "pic.png").string(), picture));
    }
}

}  // namespace

TEST_F(CliTest, FolderKeysKeepTheFolderNameAndCopiesAreStoredOnce) {
    makeSameNamedPictures(work);
    const CommandRun twoFolders = likeness("add photos/a photos/b/");
    EXPECT_EQ(twoFolders.status, 0) << twoFolders.err;
    EXPECT_TRUE(contains(twoFolders.out, "added 2, duplicates 0, failed 0")) << twoFolders.out;
    EXPECT_TRUE(fs::is_regular_file(home / "pictures" / "a" / "pic.png"));
    EXPECT_TRUE(fs::is_regular_file(home / "pictures" / "b" / "pic.png"));

    // pics/sub/scene0.jpg has the bytes of pics/scene0.jpg.
    const CommandRun folder = likeness("add pics");
    EXPECT_EQ(folder.status, 0) << folder.err;
    EXPECT_TRUE(contains(folder.out,
                         "added 6, duplicates 1, failed 0 (-v names the duplicates) (1 file that holds no picture "
                         "skipped; -v names it)"))
        << folder.out;
    EXPECT_TRUE(fs::is_regular_file(home / "pictures" / "pics" / "scene5.png"));
    EXPECT_FALSE(fs::exists(home / "pictures" / "pics" / "sub" / "scene0.jpg"));

    const CommandRun again = likeness("add photos/a photos/b");
    EXPECT_EQ(again.status, 0) << "adding a folder again is no failure";
    EXPECT_TRUE(contains(again.out, "added 0, duplicates 2, failed 0")) << again.out;
    EXPECT_EQ(again.err, "") << "a rerun is a summary, not a line per stored picture";

    const CommandRun listed = likeness("add -v pics");
    EXPECT_TRUE(contains(listed.out, "added 0, duplicates 7, failed 0 (1 file that holds no picture skipped)\n"))
        << listed.out;
    EXPECT_TRUE(contains(listed.err, "pics/notes.txt: skipped, holds no picture\n")) << listed.err;
    EXPECT_TRUE(contains(listed.err, "pics/sub/scene0.jpg: same file as pictures/pics/scene0.jpg")) << listed.err;
    EXPECT_TRUE(contains(listed.err, "pics/scene5.png: already in the collection as pictures/pics/scene5.png"))
        << listed.err;

    const CommandRun allowed = likeness("add --allow-copies -v pics/sub");
    EXPECT_EQ(allowed.status, 0) << allowed.err;
    EXPECT_TRUE(contains(allowed.out, "added pics/sub/scene0.jpg as pictures/sub/scene0.jpg")) << allowed.out;
    EXPECT_TRUE(contains(likeness("info").out, "pictures:  9\n")) << "two photos, six scenes, one copy";
}

TEST_F(CliTest, AFileOfAKeyAlreadyTakenIsAClashUnlessItIsThatPicture) {
    makeSameNamedPictures(work);
    ASSERT_EQ(likeness("add photos/a/pic.png").status, 0);

    const CommandRun clash = likeness("add photos/b/pic.png");
    EXPECT_EQ(clash.status, 1) << "a different picture was not added";
    EXPECT_TRUE(contains(clash.err,
                         "photos/b/pic.png: not added: pictures/pic.png is already taken by a different "
                         "picture"))
        << clash.err;

    const CommandRun duplicate = likeness("add photos/a/pic.png");
    EXPECT_EQ(duplicate.status, 0);
    EXPECT_TRUE(contains(duplicate.err, "photos/a/pic.png: already in the collection as pictures/pic.png"))
        << duplicate.err;

    // A JPEG's stored copy need not keep its bytes: the picture is told by its vector, which the
    // feature file keeps to six digits across the restart between the two commands.
    ASSERT_EQ(likeness("add pics/scene2.jpg").status, 0);
    writeBytes(work / "elsewhere" / "scene2.jpg", readFile(pics / "scene2.jpg"));
    const CommandRun sameJpeg = likeness("add elsewhere/scene2.jpg");
    EXPECT_EQ(sameJpeg.status, 0) << sameJpeg.err;
    EXPECT_TRUE(contains(sameJpeg.err, "already in the collection as pictures/scene2.jpg")) << sameJpeg.err;
}

TEST_F(CliTest, AddReportsDuplicatesNonPicturesAndMissingFiles) {
    ASSERT_EQ(likeness("add pics/scene1.png").status, 0);

    const CommandRun notPicture = likeness("add pics/notes.txt");
    EXPECT_EQ(notPicture.status, 1);
    EXPECT_TRUE(contains(notPicture.err, "pics/notes.txt: not a decodable picture")) << notPicture.err;

    const CommandRun mixed = likeness("add pics/scene1.png pics/scene2.jpg pics/notes.txt pics/absent.jpg /dev/null");
    EXPECT_EQ(mixed.status, 1);
    EXPECT_TRUE(contains(mixed.err, "pics/absent.jpg: no such file or folder")) << mixed.err;
    EXPECT_TRUE(contains(mixed.err, "/dev/null: not a picture file: a device file")) << mixed.err;
    EXPECT_TRUE(contains(mixed.out, "added 1, duplicates 1, failed 3")) << mixed.out;
    EXPECT_TRUE(contains(likeness("info").out, "pictures:  2\n"));

    fs::create_directories(work / "texts");
    fs::copy_file(pics / "notes.txt", work / "texts" / "notes.txt");
    const CommandRun empty = likeness("add texts");
    EXPECT_EQ(empty.status, 1);
    EXPECT_TRUE(
        contains(empty.err, "no picture files found in texts (1 file that holds no picture skipped; -v names it)"))
        << empty.err;

    // A picture is told by its content, not by its name.
    writeBytes(work / "texts" / "horizon", readFile(pics / "scene3.png"));
    writeBytes(work / "texts" / "BMW.log", "BM is how this text begins\n");
    const CommandRun told = likeness("add texts");
    EXPECT_EQ(told.status, 0) << told.err;
    EXPECT_TRUE(
        contains(told.out, "added 1, duplicates 0, failed 0 (2 files that hold no picture skipped; -v names them)"))
        << told.out;
    EXPECT_TRUE(fs::is_regular_file(home / "pictures" / "texts" / "horizon"));
}

TEST_F(CliTest, WalksReportWhatTheyPassOverWithoutFailing) {
    ASSERT_EQ(mkfifo((pics / "pipe.jpg").c_str(), 0644), 0);
    fs::create_directory_symlink("loop", pics / "loop");
    fs::create_directory_symlink("..", pics / "up");
    fs::create_symlink("/dev/null", pics / "null.jpg");
    fs::create_symlink("gone.jpg", pics / "broken.jpg");
    fs::create_symlink("scene1.png", pics / "linked.png");

    const CommandRun run = likeness("add -v pics");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(contains(run.err, "pics/pipe.jpg: skipped, a FIFO")) << run.err;
    EXPECT_TRUE(contains(run.err, "pics/loop: skipped, a symbolic link loop")) << run.err;
    EXPECT_TRUE(contains(run.err, "pics/up: skipped, a link to a folder (not followed)")) << run.err;
    EXPECT_TRUE(contains(run.err, "pics/null.jpg: skipped, a link to a device file")) << run.err;
    EXPECT_TRUE(contains(run.err, "pics/broken.jpg: skipped, a broken symbolic link")) << run.err;
    EXPECT_TRUE(contains(run.err, "pics/scene1.png: same file as pictures/pics/linked.png")) << "links to files count";
    EXPECT_TRUE(contains(run.out, "added 6, duplicates 2, failed 0")) << run.out;
}

TEST_F(CliTest, UnreadableFilesAndFoldersSayCannotRead) {
    fs::create_directories(pics / "locked");
    fs::copy_file(pics / "scene2.jpg", pics / "locked" / "inside.jpg");
    const std::string command = shellQuoted(LIKENESS_CLI) + " --home home ";
    // Checked as the user who runs the command, after the work folder was handed over.
    const std::string whyNot = whyNotUnprivileged(work);
    if (!whyNot.empty()) GTEST_SKIP() << whyNot;
    const std::string add = asUnprivileged(command + "add pics", work);
    ASSERT_EQ(chmod((pics / "scene1.png").c_str(), 0), 0);
    ASSERT_EQ(chmod((pics / "locked").c_str(), 0), 0);

    const CommandRun run = runShell(add, work);
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(contains(run.err, "pics/scene1.png: cannot read: Permission denied")) << run.err;
    EXPECT_TRUE(contains(run.err, "pics/locked: cannot read the folder: Permission denied")) << run.err;
    EXPECT_TRUE(contains(run.out, "added 5, duplicates 1, failed 1")) << run.out;

    const CommandRun query = runShell(asUnprivileged(command + "search pics/scene1.png", work), work);
    EXPECT_EQ(query.status, 1);
    EXPECT_TRUE(contains(query.err, "pics/scene1.png: cannot read: Permission denied")) << query.err;
    chmod((pics / "locked").c_str(), 0755);
}

TEST_F(CliTest, GoesOnPastAPictureThatMakesTheDecoderGiveUp) {
    // A header declaring 60000 x 60000 pixels: OpenCV throws on it instead of decoding.
    writeBytes(pics / "bomb.png", pngDeclaring(60000, 60000));
    const CommandRun folder = likeness("add pics");
    EXPECT_EQ(folder.status, 1);
    EXPECT_TRUE(contains(folder.err, "pics/bomb.png: ")) << folder.err;
    EXPECT_TRUE(contains(folder.out, "added 6, duplicates 1, failed 1")) << "every good picture is added\n"
                                                                         << folder.out;

    const CommandRun files = likeness("add --allow-copies --into files pics/scene1.png pics/bomb.png pics/scene3.png");
    EXPECT_EQ(files.status, 1);
    EXPECT_TRUE(contains(files.out, "added 2, duplicates 0, failed 1")) << files.out;
    EXPECT_TRUE(fs::is_regular_file(home / "files" / "scene3.png"));

    // A colour picture under a .pgm name: its stored copy must be re-encoded as grey-only PGM,
    // which OpenCV refuses by throwing out of the add. The command reports it and goes on.
    writeBytes(work / "odd" / "colour.pgm", readFile(pics / "scene5.png"));
    const CommandRun thrown = likeness("add --allow-copies --into thrown odd/colour.pgm pics/scene1.png");
    EXPECT_EQ(thrown.status, 1);
    EXPECT_TRUE(contains(thrown.err, "colour.pgm: cannot be added, skipped: ")) << thrown.err;
    EXPECT_TRUE(contains(thrown.out, "added 1, duplicates 0, failed 1")) << thrown.out;
    EXPECT_FALSE(fs::exists(home / "thrown" / "colour.pgm"));
}

TEST_F(CliTest, IntoOutsideTheHomeIsRefusedUnlessForced) {
    for (const std::string into : {"../outside", "/tmp/likeness-outside", "a/../../outside"}) {
        const CommandRun refused = likeness("add --into " + shellQuoted(into) + " pics/scene1.png");
        EXPECT_EQ(refused.status, 2) << into;
        EXPECT_TRUE(contains(refused.err, "--force")) << refused.err;
    }
    EXPECT_FALSE(fs::exists(work / "outside"));
    EXPECT_FALSE(fs::exists("/tmp/likeness-outside"));
    EXPECT_EQ(likeness("add-url --into ../outside http://127.0.0.1:1/a.jpg").status, 2);

    const CommandRun forced = likeness("add --force --into ../outside pics/scene1.png");
    EXPECT_EQ(forced.status, 0) << forced.err;
    EXPECT_TRUE(fs::is_regular_file(work / "outside" / "scene1.png"));
    EXPECT_EQ(likeness("add --into inside/../kept pics/scene2.jpg").status, 0) << "a path that stays inside is fine";
    EXPECT_TRUE(fs::is_regular_file(home / "kept" / "scene2.jpg"));
}
