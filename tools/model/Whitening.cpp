#include "Whitening.h"

#include <cmath>
#include <fstream>
#include <stdexcept>

#include <nlohmann/json.hpp>

namespace keras_to_caffe {
namespace {

// The symmetric matrix with the eigenvectors of `covariance` and the inverse square roots of its
// eigenvalues.
cv::Mat inverseSquareRoot(const cv::Mat& covariance) {
    cv::Mat eigenvalues;
    cv::Mat eigenvectors;  // one per row
    cv::eigen(covariance, eigenvalues, eigenvectors);
    cv::Mat scaled = eigenvectors.clone();
    // Rounding leaves a direction that never varies with a tiny eigenvalue of either sign.
    const double negligible = 1e-12 * eigenvalues.at<double>(0);
    for (int row = 0; row < scaled.rows; ++row) {
        const double value = eigenvalues.at<double>(row);
        if (!(value > negligible))
            throw std::invalid_argument("the differences do not vary in every direction: give a positive shrinkage");
        scaled.row(row) /= std::sqrt(value);
    }
    return eigenvectors.t() * scaled;
}

}  // namespace

Projection learnWhitening(const cv::Mat& originals, const cv::Mat& copies, const std::vector<int>& copyOf,
                          double shrinkage, int dimensions) {
    if (originals.type() != CV_64F || copies.type() != CV_64F || originals.empty() || copies.empty())
        throw std::invalid_argument("whitening needs non-empty CV_64F rows of photographs and of copies");
    const int columns = originals.cols;
    if (copies.cols != columns) throw std::invalid_argument("photographs and copies have different lengths");
    if (copyOf.size() != static_cast<std::size_t>(copies.rows))
        throw std::invalid_argument("copyOf needs one entry per copy");
    if (dimensions < 1 || dimensions > columns)
        throw std::invalid_argument("cannot whiten " + std::to_string(columns) + " values into " +
                                    std::to_string(dimensions));
    if (!(shrinkage >= 0) || !std::isfinite(shrinkage))
        throw std::invalid_argument("the shrinkage must be finite and not negative");

    cv::Mat differences(copies.rows, columns, CV_64F);
    for (int row = 0; row < copies.rows; ++row) {
        if (copyOf[row] < 0 || copyOf[row] >= originals.rows)
            throw std::invalid_argument("copyOf names a missing photograph");
        differences.row(row) = copies.row(row) - originals.row(copyOf[row]);
    }
    cv::Mat differenceCovariance = differences.t() * differences / copies.rows;
    const double meanVariance = cv::trace(differenceCovariance)[0] / columns;
    differenceCovariance += cv::Mat::eye(columns, columns, CV_64F) * (shrinkage * meanVariance);
    const cv::Mat firstStep = inverseSquareRoot(differenceCovariance);

    cv::Mat all;
    cv::vconcat(originals, copies, all);
    cv::Mat mean;
    cv::reduce(all, mean, 0, cv::REDUCE_AVG);
    cv::Mat whitened = (all - cv::repeat(mean, all.rows, 1)) * firstStep;  // firstStep is symmetric
    cv::Mat spreadEigenvalues;
    cv::Mat spreadDirections;  // one per row, the largest eigenvalue first
    cv::eigen(whitened.t() * whitened / all.rows, spreadEigenvalues, spreadDirections);
    const cv::Mat matrix = spreadDirections.rowRange(0, dimensions) * firstStep;
    const cv::Mat bias = -matrix * mean.t();

    Projection projection;
    for (int row = 0; row < dimensions; ++row) {
        projection.matrix.emplace_back(matrix.ptr<double>(row), matrix.ptr<double>(row) + columns);
        projection.bias.push_back(bias.at<double>(row));
    }
    return projection;
}

bool writeProjection(const Projection& projection, const std::string& path) {
    std::ofstream out(path);
    // nlohmann::json prints doubles with the shortest text that reads back to the same value.
    out << nlohmann::json{{"matrix", projection.matrix}, {"bias", projection.bias}}.dump() << "\n";
    out.close();
    return static_cast<bool>(out);
}

}  // namespace keras_to_caffe
