// Tests of the quality benchmark's parts that decide its figures: SHA-1 ordering, the roles of the
// photos and their kinds, the query transforms, the scores and thresholds, and the WebP cutter of
// scripts/fetch-photos.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "Metrics.h"
#include "PhotoSet.h"
#include "Protocol.h"
#include "RandomChains.h"
#include "Report.h"
#include "Sha1.h"
#include "Transforms.h"

namespace fs = std::filesystem;
using namespace std::string_literals;

TEST(Sha1Test, MatchesPublishedAndIndependentDigests) {
    EXPECT_EQ(sha1Hex(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_EQ(sha1Hex("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(sha1Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
    EXPECT_EQ(sha1Hex(std::string(1000000, 'a')), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

TEST(Sha1Test, PadsLengthsAroundTheBlockBoundary) {
    // 55 bytes leave room for the length in the last block, 56 do not; 64 fill a block exactly.
    EXPECT_EQ(sha1Hex(std::string(55, 'a')), "c1c8bbdc22796e28c0e15163d20899b65621d65a");
    EXPECT_EQ(sha1Hex(std::string(56, 'a')), "c2db330f6083854c99d4b5bfb6e8f29f201be699");
    EXPECT_EQ(sha1Hex(std::string(63, 'a')), "03f09f5b158a7a8cdad920bddc29b81c18a551f5");
    EXPECT_EQ(sha1Hex(std::string(64, 'a')), "0098ba824b5c16427bd7a1122a5a442a25ec644d");
    EXPECT_EQ(sha1Hex(std::string(65, 'a')), "11655326c708d70319be2610e8a57d9a5b959d3b");
}

TEST(AveragePrecisionTest, OneRelevantPictureFollowsTheHolidaysTrapezoid) {
    EXPECT_DOUBLE_EQ(holidaysAveragePrecision({0}, 1), 1.0);
    // Before rank 1 the precision is 0/1, after it 1/2.
    EXPECT_DOUBLE_EQ(holidaysAveragePrecision({1}, 1), 0.25);
    EXPECT_DOUBLE_EQ(holidaysAveragePrecision({2}, 1), 1.0 / 6);
    EXPECT_DOUBLE_EQ(holidaysAveragePrecision({}, 1), 0.0);
}

TEST(AveragePrecisionTest, SeveralRelevantPicturesEachAddTheirRecallStep) {
    // Ranks 0 and 2 of two: (1 + 1)/2 * 1/2 + (1/2 + 2/3)/2 * 1/2.
    EXPECT_NEAR(holidaysAveragePrecision({0, 2}, 2), 0.5 + 7.0 / 24, 1e-12);
    // One of two relevant pictures not retrieved caps the score at one half.
    EXPECT_DOUBLE_EQ(holidaysAveragePrecision({0}, 2), 0.5);
    EXPECT_DOUBLE_EQ(holidaysAveragePrecision({0, 1}, 2), 1.0);
}

TEST(ScoreQueriesTest, RecallAndMeanAveragePrecisionOfAGroup) {
    const RetrievalScores scores = scoreQueries({QueryRank{0}, QueryRank{3}, QueryRank{12}, QueryRank{}});
    EXPECT_EQ(scores.queries, 4u);
    EXPECT_DOUBLE_EQ(scores.recallAt1, 0.25);
    EXPECT_DOUBLE_EQ(scores.recallAt10, 0.5);
    EXPECT_NEAR(scores.meanAveragePrecision, (1.0 + 0.125 + 1.0 / 26) / 4, 1e-12);

    // Rank 9 is the tenth result, inside recall@10; rank 10 is not.
    const RetrievalScores edge = scoreQueries({QueryRank{9}, QueryRank{10}});
    EXPECT_DOUBLE_EQ(edge.recallAt10, 0.5);
    EXPECT_DOUBLE_EQ(edge.recallAt1, 0.0);

    const RetrievalScores none = scoreQueries({});
    EXPECT_EQ(none.queries, 0u);
    EXPECT_DOUBLE_EQ(none.meanAveragePrecision, 0.0);
}

TEST(RankTest, EqualDistancesRankInIndexOrder) {
    const std::vector<double> distances{5, 3, 5, 1};
    EXPECT_EQ(rankWithTiesInIndexOrder(distances, 3), QueryRank{0});
    EXPECT_EQ(rankWithTiesInIndexOrder(distances, 0), QueryRank{2});
    EXPECT_EQ(rankWithTiesInIndexOrder(distances, 2), QueryRank{3});

    std::vector<double> crowded(kScoredDepth, 1.0);
    crowded.push_back(2.0);
    EXPECT_EQ(rankWithTiesInIndexOrder(crowded, kScoredDepth), QueryRank{});
    crowded.back() = 1.0;
    EXPECT_EQ(rankWithTiesInIndexOrder(crowded, kScoredDepth), QueryRank{});
    crowded.back() = 0.5;
    EXPECT_EQ(rankWithTiesInIndexOrder(crowded, kScoredDepth), QueryRank{0});
}

TEST(ThresholdTest, TakesTheLargestDistanceThatKeepsThePrecision) {
    const std::vector<NearestMatch> matches{{4, true}, {1, true}, {5, false}, {3, false}, {2, true}};
    const auto point = thresholdForPrecision(matches, 0.75, 4);
    ASSERT_TRUE(point.has_value());
    // At 3 the precision is 2/3, at 4 it is back to 3/4, at 5 it is 3/5.
    EXPECT_FLOAT_EQ(point->threshold, 4);
    EXPECT_DOUBLE_EQ(point->precision, 0.75);
    EXPECT_DOUBLE_EQ(point->recall, 0.75);
    EXPECT_EQ(point->accepted, 4u);

    const auto strict = thresholdForPrecision(matches, 1.0, 4);
    ASSERT_TRUE(strict.has_value());
    EXPECT_FLOAT_EQ(strict->threshold, 2);
    EXPECT_DOUBLE_EQ(strict->recall, 0.5);
}

TEST(ThresholdTest, AcceptsEveryQueryAtTheThresholdDistance) {
    // A threshold of 2 accepts both queries at 2, one of them wrong: 2/3 < 0.9.
    for (const auto& matches : {std::vector<NearestMatch>{{1, true}, {2, true}, {2, false}},
                                std::vector<NearestMatch>{{2, false}, {1, true}, {2, true}}}) {
        const auto point = thresholdForPrecision(matches, 0.9, 2);
        ASSERT_TRUE(point.has_value());
        EXPECT_FLOAT_EQ(point->threshold, 1);
        EXPECT_EQ(point->accepted, 1u);
    }
}

TEST(ThresholdTest, NothingWhenNoThresholdReachesThePrecision) {
    EXPECT_FALSE(thresholdForPrecision({{1, false}, {2, true}, {3, false}}, 0.95, 1).has_value());
    EXPECT_FALSE(thresholdForPrecision({}, 0.95, 0).has_value());
}

TEST(ThresholdTest, OperatingPointCountsEveryQueryAtOrBelowTheDistance) {
    const std::vector<NearestMatch> matches{{1, true}, {2, false}, {2, true}, {3, true}};
    const OperatingPoint atTwo = operatingPointAt(matches, 2, 5);
    EXPECT_EQ(atTwo.accepted, 3u);
    EXPECT_DOUBLE_EQ(atTwo.precision, 2.0 / 3);
    EXPECT_DOUBLE_EQ(atTwo.recall, 2.0 / 5);
    const OperatingPoint none = operatingPointAt(matches, 0.5, 5);
    EXPECT_EQ(none.accepted, 0u);
    EXPECT_DOUBLE_EQ(none.precision, 1.0);
    EXPECT_DOUBLE_EQ(none.recall, 0.0);
}

TEST(ThresholdTest, RuleOperatingPointCountsTheMarkedQueriesWhateverTheirDistance) {
    const std::vector<NearestMatch> matches{{1, true, false}, {5, true, true}, {2, false, true}};
    const OperatingPoint marked = operatingPointOfMarks(matches, 3, 4);
    EXPECT_EQ(marked.accepted, 2u);
    EXPECT_DOUBLE_EQ(marked.precision, 0.5);
    EXPECT_DOUBLE_EQ(marked.recall, 0.25);
}

TEST(ThresholdTest, CommonThresholdKeepsThePrecisionOnEveryGroup) {
    // Alone, the first group keeps 0.75 up to 4 and the second up to 2.5; together only 2.5 holds
    // for both, and the second group's wrong match at 3 rules out everything above it.
    const std::vector<NearestMatch> easy{{1, true}, {2, true}, {3, false}, {4, true}};
    const std::vector<NearestMatch> hard{{2.5f, true}, {3, false}, {5, true}};
    EXPECT_FLOAT_EQ(thresholdForPrecision(easy, 0.75, 3)->threshold, 4);
    EXPECT_FLOAT_EQ(thresholdForPrecision(hard, 0.75, 2)->threshold, 2.5f);
    const auto common = thresholdForEveryGroup({easy, hard}, 0.75);
    ASSERT_TRUE(common.has_value());
    EXPECT_FLOAT_EQ(*common, 2.5f);
    // A group that accepts nothing below a threshold does not stand in its way.
    EXPECT_FLOAT_EQ(*thresholdForEveryGroup({easy, {{9, false}}}, 0.75), 4);
    EXPECT_FALSE(thresholdForEveryGroup({{{1, false}}, easy}, 0.75).has_value());
    EXPECT_FALSE(thresholdForEveryGroup({}, 0.75).has_value());
}

TEST(ProtocolTest, SmallPhotosAreOnlyIndexedAndHeldOutOnesNever) {
    const std::vector<int> longSides{500, 100, 400, 320, 319, 800, 600, 900};
    const auto roles = assignRoles(longSides, ProtocolSizes{3, 2, 320});
    ASSERT_TRUE(roles.has_value());
    EXPECT_EQ(roles->sources, (std::vector<std::size_t>{0, 2, 3}));
    EXPECT_EQ(roles->heldOut, (std::vector<std::size_t>{5, 6}));
    EXPECT_EQ(roles->indexed, (std::vector<std::size_t>{0, 1, 2, 3, 4, 7}));

    EXPECT_FALSE(assignRoles(longSides, ProtocolSizes{3, 4, 320}).has_value());
}

TEST(ProtocolTest, SplitsAlternateInHashOrder) {
    const std::vector<std::size_t> sources{10, 11, 12, 13, 14};
    EXPECT_EQ(sourcesOfSplit(sources, Split::Dev), (std::vector<std::size_t>{10, 12, 14}));
    EXPECT_EQ(sourcesOfSplit(sources, Split::Test), (std::vector<std::size_t>{11, 13}));
    EXPECT_EQ(sourcesOfSplit(sources, Split::All), sources);
    for (Split split : {Split::Dev, Split::Test, Split::All}) EXPECT_EQ(parseSplit(splitName(split)), split);
    EXPECT_FALSE(parseSplit("train").has_value());
}

TEST(ProtocolTest, EachKindGetsItsRolesAmongItsOwnPhotos) {
    const std::vector<int> longSides{500, 500, 500, 500, 500, 500, 500, 500, 500, 500};
    const std::vector<std::string> kinds{"a", "b", "a", "a", "b", "b", "a", "c", "b", "a"};
    const std::vector<KindSizes> sizes{{"a", ProtocolSizes{3, 1, 320}}, {"b", ProtocolSizes{1, 2, 320}}};
    const auto all = assignRolesByKind(longSides, kinds, sizes, Split::All);
    ASSERT_TRUE(all.has_value());
    EXPECT_EQ(all->sources, (std::vector<std::size_t>{0, 2, 3, 1}));
    EXPECT_EQ(all->heldOut, (std::vector<std::size_t>{6, 4, 5}));
    // Photos of a kind without sizes ("c") and the kinds' rest are indexed distractors.
    EXPECT_EQ(all->indexed, (std::vector<std::size_t>{0, 1, 2, 3, 7, 8, 9}));

    // Each kind is split on its own: positions 0 and 2 of "a", position 0 of "b"; the held-out
    // photos likewise, and none of them is indexed in any split.
    const auto dev = assignRolesByKind(longSides, kinds, sizes, Split::Dev);
    EXPECT_EQ(dev->sources, (std::vector<std::size_t>{0, 3, 1}));
    EXPECT_EQ(dev->heldOut, (std::vector<std::size_t>{6, 4}));
    const auto test = assignRolesByKind(longSides, kinds, sizes, Split::Test);
    EXPECT_EQ(test->sources, (std::vector<std::size_t>{2}));
    EXPECT_EQ(test->heldOut, (std::vector<std::size_t>{5}));
    EXPECT_EQ(dev->indexed, all->indexed);
    EXPECT_EQ(test->indexed, all->indexed);

    // More photos of one kind leave the other kind's roles as they were.
    std::vector<int> moreSides = longSides;
    std::vector<std::string> moreKinds = kinds;
    moreSides.insert(moreSides.begin(), 700);
    moreKinds.insert(moreKinds.begin(), "b");
    const auto grown = assignRolesByKind(moreSides, moreKinds, sizes, Split::All);
    ASSERT_TRUE(grown.has_value());
    EXPECT_EQ(std::vector<std::size_t>(grown->sources.begin(), grown->sources.begin() + 3),
              (std::vector<std::size_t>{1, 3, 4}));
    EXPECT_EQ(grown->heldOut.front(), 7u);

    EXPECT_FALSE(assignRolesByKind(longSides, kinds, {{"c", ProtocolSizes{1, 1, 320}}}, Split::All).has_value());
}

TEST(PhotoSetTest, KindsComeFromTheProvenanceColumnsByName) {
    const fs::path dir = fs::temp_directory_path() / ("bench-kinds-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    {
        std::ofstream(dir / "with.tsv")
            << "path\tkind\tname\nx/a.jpg\tlow-structure\ta.jpg\nx/b.jpg\tphoto\tb.jpg\nshort\n";
        std::ofstream(dir / "without.tsv") << "name\tpackage\na.jpg\tsomething\n";
    }
    const auto kinds = readPhotoKinds(dir / "with.tsv");
    EXPECT_EQ(kinds, (std::map<std::string, std::string>{{"a.jpg", "low-structure"}, {"b.jpg", "photo"}}));
    EXPECT_TRUE(readPhotoKinds(dir / "without.tsv").empty());
    EXPECT_TRUE(readPhotoKinds(dir / "absent.tsv").empty());
    fs::remove_all(dir);
}

TEST(PhotoSetTest, BackdropIsNeverThePhotoItself) {
    const std::vector<std::size_t> backdrops{4, 7, 9};
    std::set<std::size_t> picked;
    for (std::uint64_t seed = 0; seed < 30; ++seed) {
        const auto backdrop = backdropFor(7, seed, backdrops);
        ASSERT_TRUE(backdrop.has_value());
        EXPECT_NE(*backdrop, 7u);
        EXPECT_EQ(backdropFor(7, seed, backdrops), backdrop);
        picked.insert(*backdrop);
    }
    EXPECT_EQ(picked, (std::set<std::size_t>{4, 9}));
    EXPECT_FALSE(backdropFor(7, 1, {7}).has_value());
}

TEST(TransformsTest, FiftyEightTransformsInFiveBlocks) {
    const auto& transforms = queryTransforms();
    ASSERT_EQ(transforms.size(), 58u);
    int perBlock[5] = {0, 0, 0, 0, 0};
    std::set<std::string> names;
    for (const QueryTransform& transform : transforms) {
        ++perBlock[static_cast<int>(transform.block)];
        names.insert(transform.name);
        EXPECT_EQ(static_cast<bool>(transform.alter), transform.block != QueryBlock::Identity) << transform.name;
    }
    EXPECT_EQ(names.size(), transforms.size());
    EXPECT_EQ(perBlock[static_cast<int>(QueryBlock::Identity)], 1);
    EXPECT_EQ(perBlock[static_cast<int>(QueryBlock::Jpeg)], 9);
    EXPECT_EQ(perBlock[static_cast<int>(QueryBlock::Crop)], 9);
    EXPECT_EQ(perBlock[static_cast<int>(QueryBlock::Strong)], 14);
    EXPECT_GE(perBlock[static_cast<int>(QueryBlock::Unseen)], 20);
    // The earlier blocks keep their positions, and so their queries' seeds.
    EXPECT_EQ(transforms[32].name, "crop50-rotate5-contrast1.2-jpeg30");
    for (std::size_t i = 33; i < transforms.size(); ++i)
        EXPECT_EQ(transforms[i].block, QueryBlock::Unseen) << transforms[i].name;
}

TEST(TransformsTest, CentredCropsRemoveTheStatedShareOfTheArea) {
    const cv::Size size(1000, 600);
    for (double removed : {0.1, 0.15, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8}) {
        const cv::Rect crop = centredCrop(size, removed);
        EXPECT_NEAR(crop.area() / 600000.0, 1 - removed, 0.003) << removed;
        EXPECT_LE(std::abs(crop.x - (size.width - crop.br().x)), 1) << removed;
        EXPECT_LE(std::abs(crop.y - (size.height - crop.br().y)), 1) << removed;
    }
}

namespace {

const QueryTransform& transformNamed(const std::string& name) {
    for (const QueryTransform& transform : queryTransforms()) {
        if (transform.name == name) return transform;
    }
    throw std::invalid_argument("no transform " + name);
}

cv::Mat testPicture() {
    cv::Mat picture(480, 640, CV_8UC3);
    cv::randu(picture, cv::Scalar::all(0), cv::Scalar::all(255));
    return picture;
}

cv::Mat decoded(const EncodedQuery& query) {
    return cv::imdecode(query.bytes, cv::IMREAD_UNCHANGED);
}

}  // namespace

TEST(TransformsTest, GeometricAttacksProduceTheStatedSizes) {
    const cv::Mat picture = testPicture();
    EXPECT_EQ(decoded(encodeQuery(transformNamed("long-side-256"), picture, 1)).size(), cv::Size(256, 192));
    EXPECT_EQ(decoded(encodeQuery(transformNamed("width-x0.75"), picture, 1)).size(), cv::Size(480, 480));
    EXPECT_EQ(decoded(encodeQuery(transformNamed("rotate-90"), picture, 1)).size(), cv::Size(480, 640));
    EXPECT_EQ(decoded(encodeQuery(transformNamed("crop-50"), picture, 1)).size(),
              centredCrop(picture.size(), 0.5).size());
    const EncodedQuery combined = encodeQuery(transformNamed("crop50-rotate5-contrast1.2-jpeg30"), picture, 1);
    EXPECT_EQ(combined.extension, ".jpg");
    EXPECT_EQ(decoded(combined).size(), centredCrop(picture.size(), 0.5).size());
}

TEST(TransformsTest, LosslessAttacksKeepTheirExactPixels) {
    const cv::Mat picture = testPicture();
    const cv::Mat mirrored = decoded(encodeQuery(transformNamed("mirror"), picture, 1));
    EXPECT_EQ(mirrored.at<cv::Vec3b>(10, 0), picture.at<cv::Vec3b>(10, 639));
    const cv::Mat gray = decoded(encodeQuery(transformNamed("grayscale"), picture, 1));
    EXPECT_EQ(gray.channels(), 1);
    const cv::Mat brighter = decoded(encodeQuery(transformNamed("contrast-1.3+30"), picture, 1));
    const cv::Vec3b before = picture.at<cv::Vec3b>(5, 5);
    EXPECT_EQ(brighter.at<cv::Vec3b>(5, 5)[0], cv::saturate_cast<unsigned char>(before[0] * 1.3 + 30));
}

TEST(TransformsTest, RandomAttacksDependOnlyOnTheSeed) {
    const cv::Mat picture = testPicture();
    for (const char* name : {"noise-sigma-20", "text", "perspective-10"}) {
        const QueryTransform& transform = transformNamed(name);
        EXPECT_EQ(encodeQuery(transform, picture, 7).bytes, encodeQuery(transform, picture, 7).bytes) << name;
        EXPECT_NE(encodeQuery(transform, picture, 7).bytes, encodeQuery(transform, picture, 8).bytes) << name;
    }
    EXPECT_THROW(encodeQuery(transformNamed("identity"), picture, 1), std::logic_error);
}

namespace {

cv::Mat smoothPicture() {
    cv::Mat picture(480, 640, CV_8UC3);
    for (int y = 0; y < picture.rows; ++y)
        for (int x = 0; x < picture.cols; ++x)
            picture.at<cv::Vec3b>(y, x) =
                cv::Vec3b(static_cast<unsigned char>(x * 255 / 639), static_cast<unsigned char>(y * 255 / 479), 128);
    return picture;
}

}  // namespace

TEST(TransformsTest, EveryUnseenTransformGivesADecodablePictureThatDependsOnlyOnTheSeed) {
    const cv::Mat picture = testPicture();
    const cv::Mat backdrop(300, 400, CV_8UC3, cv::Scalar(10, 200, 30));
    for (const QueryTransform& transform : queryTransforms()) {
        if (transform.block != QueryBlock::Unseen) continue;
        const EncodedQuery first = encodeQuery(transform, picture, 11, backdrop);
        const cv::Mat query = decoded(first);
        ASSERT_FALSE(query.empty()) << transform.name;
        EXPECT_GE(std::min(query.cols, query.rows), 50) << transform.name;
        EXPECT_EQ(encodeQuery(transform, picture, 11, backdrop).bytes, first.bytes) << transform.name;
        const bool identical = query.size() == picture.size() && query.type() == picture.type() &&
                               cv::norm(query, picture, cv::NORM_INF) == 0;
        EXPECT_FALSE(identical) << transform.name << " left the picture as it was";
    }
}

TEST(TransformsTest, FramingAndPastingPlaceThePhotoWhereTheyClaim) {
    const cv::Mat picture = smoothPicture();
    const cv::Mat bordered = decoded(encodeQuery(transformNamed("white-border-25"), picture, 1));
    EXPECT_EQ(bordered.size(), cv::Size(960, 720));
    EXPECT_EQ(bordered.at<cv::Vec3b>(5, 5), cv::Vec3b(255, 255, 255));
    EXPECT_EQ(bordered.at<cv::Vec3b>(120 + 10, 160 + 20), picture.at<cv::Vec3b>(10, 20));
    const cv::Mat letterboxed = decoded(encodeQuery(transformNamed("letterbox-black-20"), picture, 1));
    EXPECT_EQ(letterboxed.size(), cv::Size(640, 480 + 2 * 96));

    const QueryTransform& pasted = transformNamed("pasted-half-size");
    EXPECT_TRUE(pasted.needsBackdrop);
    EXPECT_THROW(encodeQuery(pasted, picture, 1), std::invalid_argument);
    const cv::Mat backdrop(300, 400, CV_8UC3, cv::Scalar(10, 200, 30));
    const cv::Mat composite = decoded(encodeQuery(pasted, picture, 3, backdrop));
    ASSERT_EQ(composite.size(), backdrop.size());
    // Exactly a half-size copy's area differs from the backdrop.
    cv::Mat differs;
    cv::inRange(composite, cv::Scalar(10, 200, 30), cv::Scalar(10, 200, 30), differs);
    EXPECT_EQ(composite.total() - static_cast<std::size_t>(cv::countNonZero(differs)), 200u * 150u);
}

TEST(TransformsTest, PixelationAndPosterisingKeepFewValues) {
    const cv::Mat picture = smoothPicture();
    const cv::Mat pixelated = decoded(encodeQuery(transformNamed("pixelate-12"), picture, 1));
    ASSERT_EQ(pixelated.size(), picture.size());
    std::set<int> blueLevelsOfARow;
    for (int x = 0; x < pixelated.cols; ++x) blueLevelsOfARow.insert(pixelated.at<cv::Vec3b>(200, x)[0]);
    EXPECT_EQ(blueLevelsOfARow.size(), 12u);
    const cv::Mat posterised = decoded(encodeQuery(transformNamed("posterise-4"), picture, 1));
    std::set<int> levels;
    for (auto pixel = posterised.begin<cv::Vec3b>(); pixel != posterised.end<cv::Vec3b>(); ++pixel)
        levels.insert((*pixel)[0]);
    EXPECT_EQ(levels, (std::set<int>{0, 85, 170, 255}));
}

TEST(ReportTest, BlocksPartitionTheQueriesAndOverallPoolsThem) {
    const auto& transforms = queryTransforms();
    std::size_t jpeg = 0;
    while (transforms[jpeg].block != QueryBlock::Jpeg) ++jpeg;
    const std::vector<QueryOutcome> outcomes{{0, {QueryRank{0}, QueryRank{1}}, "photo"},
                                             {jpeg, {QueryRank{}, QueryRank{0}}, "photo"},
                                             {jpeg, {QueryRank{0}, QueryRank{0}}, "photo"}};
    const std::vector<ScoreRow> rows = scoreByBlock(outcomes, {"a", "b"});
    ASSERT_EQ(rows.size(), 6u);
    EXPECT_EQ(rows[0].method, "a");
    EXPECT_EQ(rows[0].group, "identity");
    EXPECT_EQ(rows[1].group, "jpeg");
    EXPECT_EQ(rows[1].scores.queries, 2u);
    EXPECT_DOUBLE_EQ(rows[1].scores.recallAt1, 0.5);
    EXPECT_EQ(rows[2].group, "overall");
    EXPECT_EQ(rows[2].scores.queries, 3u);
    EXPECT_DOUBLE_EQ(rows[2].scores.recallAt1, 2.0 / 3);
    EXPECT_EQ(rows[5].method, "b");
    EXPECT_DOUBLE_EQ(rows[5].scores.meanAveragePrecision, (0.25 + 1 + 1) / 3);
}

namespace {

std::string fileBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string littleEndian32(std::uint32_t value) {
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
    return bytes;
}

class WebpCutterTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("bench-cutter-" + std::to_string(::getpid()));
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    int cut(const fs::path& archive, std::size_t offset, const fs::path& out) const {
        const std::string command = std::string("'") + LIKENESS_FETCH_PHOTOS + "' --cut-webp '" + archive.string() +
                                    "' " + std::to_string(offset) + " '" + out.string() + "' 2>/dev/null";
        return std::system(command.c_str());
    }

    fs::path dir;
};

}  // namespace

TEST_F(WebpCutterTest, CutsExactlyOneChunkByItsOwnLength) {
    // A 0x10d-byte body (longer than 255, so the length field's second byte matters) between junk.
    const std::string body = "WEBP" + std::string(0x109, 'x');
    const std::string chunk = "RIFF" + littleEndian32(static_cast<std::uint32_t>(body.size())) + body;
    const std::string prefix = "qres\x00\x00\x00\x03RIFF????JUNK"s;
    const std::string archiveBytes = prefix + chunk + "RIFF trailing bytes";
    const fs::path archive = dir / "test.rcc";
    std::ofstream(archive, std::ios::binary) << archiveBytes;

    ASSERT_EQ(cut(archive, prefix.size(), dir / "out.webp"), 0);
    EXPECT_EQ(fileBytes(dir / "out.webp"), chunk);

    // A RIFF chunk that is not WebP, and a spot that is no chunk at all, give nothing.
    EXPECT_NE(cut(archive, prefix.size() - 12, dir / "riff.webp"), 0);
    EXPECT_FALSE(fs::exists(dir / "riff.webp"));
    EXPECT_NE(cut(archive, prefix.size() + 1, dir / "none.webp"), 0);
    EXPECT_FALSE(fs::exists(dir / "none.webp"));
}

TEST_F(WebpCutterTest, RefusesAChunkThatRunsPastTheArchive) {
    const std::string archiveBytes = "RIFF" + littleEndian32(1000) + "WEBPVP8 short";
    const fs::path archive = dir / "short.rcc";
    std::ofstream(archive, std::ios::binary) << archiveBytes;
    EXPECT_NE(cut(archive, 0, dir / "out.webp"), 0);
    EXPECT_FALSE(fs::exists(dir / "out.webp"));
}

// The fit's random chains: every copy a three-channel picture large enough for the network, the
// same seed the same copy, and the family wide enough that seeds rarely repeat a copy.
TEST(RandomChainsTest, CopiesAreUsableReproducibleAndVaried) {
    const cv::Mat picture = testPicture();
    const cv::Mat backdrop(300, 400, CV_8UC3, cv::Scalar(10, 200, 30));
    std::set<std::vector<unsigned char>> distinct;
    int resized = 0;
    for (int seed = 0; seed < 120; ++seed) {
        cv::RNG rng(static_cast<std::uint64_t>(seed));
        const cv::Mat copy = randomChainCopy(picture, backdrop, rng);
        ASSERT_EQ(copy.type(), CV_8UC3) << "seed " << seed;
        EXPECT_GE(std::min(copy.cols, copy.rows), 8) << "seed " << seed;
        cv::RNG again(static_cast<std::uint64_t>(seed));
        const cv::Mat twin = randomChainCopy(picture, backdrop, again);
        ASSERT_EQ(twin.size(), copy.size()) << "seed " << seed;
        EXPECT_EQ(cv::norm(twin, copy, cv::NORM_INF), 0) << "seed " << seed;
        if (copy.size() != picture.size()) ++resized;
        distinct.insert(std::vector<unsigned char>(copy.datastart, copy.dataend));
    }
    EXPECT_GE(distinct.size(), 115u);
    // Crops, borders, pastes and resampling change the size; most other alterations keep it.
    EXPECT_GT(resized, 10);
    EXPECT_LT(resized, 110);
}
