// convert_nsfwjs: turns the model dumped by dump-model.mjs into OUT/v0.net and OUT/v0.dat.
#include <cstdio>
#include <iostream>
#include <string>

#include "KerasToCaffe.h"
#include "LearnedParts.h"

namespace {

const char* const kUsage =
    "usage: convert_nsfwjs --dump DIR --out DIR [--learned FILE]\n"
    "                      [--feature LAYER[:max|:gem|:spectrum|:cosines][:l2][:SCALE],...]\n"
    "                      [--projection FILE.json | --orthonormal-seed N] [--normalise] [--feature-scale S]\n"
    "  --learned           the learned parts (tools/model/learned/): tuned blocks, recipe and\n"
    "                      projection, which the options below then no longer change\n"
    "  --feature           Keras layers whose outputs, pooled over rows and columns (average,\n"
    "                      maximum with :max, cube root of the mean cube with :gem) or reduced\n"
    "                      to their low cosine frequencies (magnitudes with :spectrum, signed with\n"
    "                      :cosines), normalised with :l2 and\n"
    "                      multiplied by SCALE,\n"
    "                      are concatenated into the feature\n"
    "  --projection        {\"matrix\": 512 rows, \"bias\": 512 values (optional)} applied to them\n"
    "  --orthonormal-seed  project them with 512 seeded orthonormal rows instead\n"
    "  --normalise         divide the 512 values by their Euclidean norm\n"
    "  --feature-scale     multiplies the final 512 values\n"
    "Without --feature the feature is the default recipe, whose parts need a --projection\n"
    "(scripts/make-model fits one on photographs) or an --orthonormal-seed.\n";

bool parseUnsigned(const std::string& text, unsigned& value) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    value = static_cast<unsigned>(std::stoul(text));
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::string dumpDirectory;
    std::string outputDirectory;
    std::string featureText;
    std::string projectionPath;
    std::string seedText;
    std::string scaleText;
    std::string learnedPath;
    bool normalised = false;
    for (int index = 1; index < argc; ++index) {
        const std::string option = argv[index];
        if (option == "--normalise") {
            normalised = true;
            continue;
        }
        std::string* target = option == "--dump"               ? &dumpDirectory
                              : option == "--out"              ? &outputDirectory
                              : option == "--feature"          ? &featureText
                              : option == "--projection"       ? &projectionPath
                              : option == "--orthonormal-seed" ? &seedText
                              : option == "--feature-scale"    ? &scaleText
                              : option == "--learned"          ? &learnedPath
                                                               : nullptr;
        if (!target || index + 1 == argc || !target->empty()) {
            std::cerr << kUsage;
            return 2;
        }
        *target = argv[++index];
    }
    if (dumpDirectory.empty() || outputDirectory.empty()) {
        std::cerr << kUsage;
        return 2;
    }
    try {
        using namespace keras_to_caffe;
        FeatureRecipe recipe = defaultRecipe();
        if (!featureText.empty()) {
            recipe = FeatureRecipe{};
            recipe.parts = parseFeatureParts(featureText);
        }
        if (!projectionPath.empty()) recipe.projection = readProjection(projectionPath);
        if (!seedText.empty()) {
            unsigned seed = 0;
            if (!parseUnsigned(seedText, seed)) throw ConversionError("bad seed " + seedText);
            recipe.orthonormalSeed = seed;
        }
        if (normalised) recipe.normalised = true;
        if (!scaleText.empty()) recipe.scale = parseScale(scaleText);
        KerasModel model = readKerasDump(dumpDirectory);
        if (!learnedPath.empty()) {
            const LearnedParts learned = readLearnedParts(learnedPath);
            model = withTunedBlocks(model, learned);
            recipe = learned.recipe;
        }
        const caffe::NetWriter net = convert(model, recipe);
        // Written beside the final files and renamed over them, so a failure leaves no half model.
        const std::string description = outputDirectory + "/v0.net";
        const std::string weights = outputDirectory + "/v0.dat";
        if (!net.write(description + ".partial", weights + ".partial") ||
            std::rename((description + ".partial").c_str(), description.c_str()) != 0 ||
            std::rename((weights + ".partial").c_str(), weights.c_str()) != 0)
            throw ConversionError("cannot write " + description + " and " + weights);
        std::cout << "convert_nsfwjs: wrote " << description << " and " << weights << "\n";
    } catch (const std::exception& error) {
        std::cerr << "convert_nsfwjs: " << error.what() << "\n";
        return 1;
    }
    return 0;
}
