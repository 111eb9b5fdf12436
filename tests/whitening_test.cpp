// Checks of the learned whitening on synthetic photographs whose altered copies differ from them
// in known directions.
#include <gtest/gtest.h>

#include <filesystem>
#include <limits>
#include <random>

#include <unistd.h>

#include "Whitening.h"

namespace {

using namespace keras_to_caffe;

cv::Mat gaussianRows(int rows, const std::vector<double>& deviations, std::mt19937& random) {
    cv::Mat values(rows, static_cast<int>(deviations.size()), CV_64F);
    std::normal_distribution<double> normal;
    for (int row = 0; row < rows; ++row)
        for (int column = 0; column < values.cols; ++column)
            values.at<double>(row, column) = deviations[column] * normal(random);
    return values;
}

struct Examples {
    cv::Mat originals;
    cv::Mat copies;
    std::vector<int> copyOf;
};

// Copies differ from their original by Gaussian noise of the given deviations, mixed by `mixing`.
Examples makeExamples(int originals, int copiesEach, double spread, const std::vector<double>& noise,
                      const cv::Mat& mixing, unsigned seed) {
    std::mt19937 random(seed);
    Examples examples;
    examples.originals = gaussianRows(originals, std::vector<double>(noise.size(), spread), random);
    for (int original = 0; original < originals; ++original)
        for (int copy = 0; copy < copiesEach; ++copy) {
            examples.copies.push_back(
                cv::Mat(examples.originals.row(original) + gaussianRows(1, noise, random) * mixing));
            examples.copyOf.push_back(original);
        }
    return examples;
}

cv::Mat asMat(const Projection& projection) {
    cv::Mat matrix(static_cast<int>(projection.matrix.size()), static_cast<int>(projection.matrix.front().size()),
                   CV_64F);
    for (int row = 0; row < matrix.rows; ++row)
        for (int column = 0; column < matrix.cols; ++column)
            matrix.at<double>(row, column) = projection.matrix[row][column];
    return matrix;
}

// The share of copies whose nearest original, after `map`, is the one they were made from.
double nearestOriginalRate(const Examples& examples, const cv::Mat& map) {
    const cv::Mat originals = examples.originals * map.t();
    const cv::Mat copies = examples.copies * map.t();
    int found = 0;
    for (int copy = 0; copy < copies.rows; ++copy) {
        int nearest = 0;
        for (int original = 1; original < originals.rows; ++original)
            if (cv::norm(copies.row(copy) - originals.row(original)) <
                cv::norm(copies.row(copy) - originals.row(nearest)))
                nearest = original;
        found += nearest == examples.copyOf[copy];
    }
    return static_cast<double>(found) / copies.rows;
}

TEST(LearnWhitening, WithoutShrinkageTheCopiesDifferencesHaveUnitCovariance) {
    std::mt19937 random(7);
    const cv::Mat mixing = gaussianRows(5, std::vector<double>(5, 1.0), random);
    const Examples examples = makeExamples(40, 5, 10.0, {5.0, 0.1, 0.1, 2.0, 0.5}, mixing, 11);
    const Projection projection = learnWhitening(examples.originals, examples.copies, examples.copyOf, 0.0, 5);
    const cv::Mat map = asMat(projection);
    ASSERT_EQ(map.rows, 5);
    ASSERT_EQ(projection.bias.size(), 5u);

    cv::Mat differences;
    for (int copy = 0; copy < examples.copies.rows; ++copy)
        differences.push_back(cv::Mat(examples.copies.row(copy) - examples.originals.row(examples.copyOf[copy])));
    const cv::Mat projected = differences * map.t();
    const cv::Mat covariance = projected.t() * projected / projected.rows;
    EXPECT_LE(cv::norm(covariance - cv::Mat::eye(5, 5, CV_64F), cv::NORM_INF), 1e-9) << covariance;

    // The bias centres the examples: their mean maps to zero.
    cv::Mat all;
    cv::vconcat(examples.originals, examples.copies, all);
    cv::Mat mean;
    cv::reduce(all, mean, 0, cv::REDUCE_AVG);
    const cv::Mat centred = map * mean.t() + cv::Mat(projection.bias);
    EXPECT_LE(cv::norm(centred, cv::NORM_INF), 1e-9) << centred;
}

// Copies far off their original along four directions and close along four others: plain
// distances mostly pick the wrong original; whitened into four values, almost never.
TEST(LearnWhitening, MakesCopiesFindTheirOriginalsAndKeepsTheSteadyDirectionsFirst) {
    const std::vector<double> noise = {3.0, 3.0, 3.0, 3.0, 0.05, 0.05, 0.05, 0.05};
    const cv::Mat identity = cv::Mat::eye(8, 8, CV_64F);
    const Examples fitted = makeExamples(30, 4, 1.0, noise, identity, 3);
    const Examples unseen = makeExamples(30, 4, 1.0, noise, identity, 4);
    const Projection projection = learnWhitening(fitted.originals, fitted.copies, fitted.copyOf, 0.01, 4);
    const cv::Mat map = asMat(projection);

    EXPECT_LT(nearestOriginalRate(unseen, identity), 0.6);
    EXPECT_GT(nearestOriginalRate(unseen, map), 0.95);
    // Each kept row reads the steady directions almost only.
    for (int row = 0; row < map.rows; ++row)
        EXPECT_GT(cv::norm(map.row(row).colRange(4, 8)), 20 * cv::norm(map.row(row).colRange(0, 4))) << map.row(row);
}

TEST(LearnWhitening, RefusesInputItCannotFit) {
    const Examples examples = makeExamples(6, 2, 1.0, {1.0, 1.0, 1.0}, cv::Mat::eye(3, 3, CV_64F), 5);
    const auto fit = [&](const cv::Mat& originals, const cv::Mat& copies, const std::vector<int>& copyOf,
                         double shrinkage,
                         int dimensions) { return learnWhitening(originals, copies, copyOf, shrinkage, dimensions); };
    EXPECT_NO_THROW(fit(examples.originals, examples.copies, examples.copyOf, 0.1, 3));
    EXPECT_THROW(fit(examples.originals, examples.copies, examples.copyOf, 0.1, 0), std::invalid_argument)
        << "no dimensions";
    EXPECT_THROW(fit(examples.originals, examples.copies, examples.copyOf, 0.1, 4), std::invalid_argument)
        << "more than the input";
    EXPECT_THROW(fit(examples.originals, examples.copies, examples.copyOf, -0.1, 3), std::invalid_argument)
        << "negative shrinkage";
    EXPECT_THROW(fit(examples.originals, examples.copies, examples.copyOf, std::numeric_limits<double>::quiet_NaN(), 3),
                 std::invalid_argument)
        << "NaN shrinkage";
    cv::Mat singles;
    examples.originals.convertTo(singles, CV_32F);
    EXPECT_THROW(fit(singles, examples.copies, examples.copyOf, 0.1, 3), std::invalid_argument) << "float rows";
    EXPECT_THROW(fit(examples.originals.colRange(0, 2).clone(), examples.copies, examples.copyOf, 0.1, 2),
                 std::invalid_argument)
        << "different lengths";
    EXPECT_THROW(fit(examples.originals, examples.copies, {0, 1}, 0.1, 3), std::invalid_argument) << "copyOf too short";
    std::vector<int> missing = examples.copyOf;
    missing.back() = examples.originals.rows;
    EXPECT_THROW(fit(examples.originals, examples.copies, missing, 0.1, 3), std::invalid_argument)
        << "copyOf out of range";
    // Copies identical to their originals in the last value: without shrinkage that direction
    // has no variance to divide by.
    cv::Mat steady = examples.copies.clone();
    for (int copy = 0; copy < steady.rows; ++copy)
        steady.at<double>(copy, 2) = examples.originals.at<double>(examples.copyOf[copy], 2);
    EXPECT_THROW(fit(examples.originals, steady, examples.copyOf, 0.0, 3), std::invalid_argument)
        << "a direction never varies";
    EXPECT_NO_THROW(fit(examples.originals, steady, examples.copyOf, 0.1, 3));
}

TEST(WriteProjection, ReadsBackEveryValueExactly) {
    Projection projection;
    for (int row = 0; row < likeness::kFeatureDim; ++row) projection.matrix.push_back({1.0 / 3.0 * row, -1e-300, 0.1});
    projection.bias.assign(likeness::kFeatureDim, 2.0 / 7.0);
    const std::string path =
        (std::filesystem::temp_directory_path() / ("likeness-projection-" + std::to_string(getpid()) + ".json"))
            .string();
    ASSERT_TRUE(writeProjection(projection, path));
    const Projection read = readProjection(path);
    std::filesystem::remove(path);
    EXPECT_EQ(read.matrix, projection.matrix);
    EXPECT_EQ(read.bias, projection.bias);
    EXPECT_FALSE(writeProjection(projection, "/nonexistent-directory/projection.json"));
}

}  // namespace
