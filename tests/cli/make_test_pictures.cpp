// make_test_pictures: writes seeded synthetic pictures for the CLI tests: distinct scenes of
// coloured shapes, so that each picture is nearest to itself and its copies.
#include <filesystem>
#include <iostream>
#include <random>
#include <string>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: make_test_pictures OUTDIR COUNT\n";
        return 2;
    }
    const std::filesystem::path outDir = argv[1];
    const int count = std::stoi(argv[2]);
    std::filesystem::create_directories(outDir);
    std::mt19937 generator(11);
    auto channel = [&generator]() { return static_cast<double>(generator() % 256); };
    auto coordinate = [&generator](int limit) { return static_cast<int>(generator() % static_cast<unsigned>(limit)); };
    for (int i = 0; i < count; ++i) {
        cv::Mat scene(240, 320, CV_8UC3, cv::Scalar(channel(), channel(), channel()));
        for (int shape = 0; shape < 12; ++shape) {
            const cv::Scalar colour(channel(), channel(), channel());
            const cv::Point corner(coordinate(320), coordinate(240));
            if (shape % 2 == 0)
                cv::rectangle(scene, corner, corner + cv::Point(20 + coordinate(100), 20 + coordinate(80)), colour,
                              cv::FILLED);
            else cv::circle(scene, corner, 10 + coordinate(50), colour, cv::FILLED);
        }
        const std::string name = "scene" + std::to_string(i) + (i % 2 == 0 ? ".jpg" : ".png");
        if (!cv::imwrite((outDir / name).string(), scene)) {
            std::cerr << "make_test_pictures: cannot write " << name << "\n";
            return 1;
        }
    }
    return 0;
}
