// Replays the fuzz targets' seeds and every input they were found to break (tests/fuzz/) through
// the checks the targets make, so that what a fuzzer once found stays fixed.
#include <filesystem>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "fuzz/FuzzChecks.h"

namespace fs = std::filesystem;

TEST(FuzzRegressions, SeedsAndFoundInputsPassTheirChecks) {
    using Check = std::string (*)(const std::uint8_t*, std::size_t);
    const std::pair<const char*, Check> targets[] = {{"feature_loader_fuzz", checkLoaderAgainstReference},
                                                     {"feature_record_fuzz", checkRecordRoundTrip}};
    TempHome home(false);
    prepareFuzzFolder();
    std::size_t replayed = 0;
    for (const auto& [target, check] : targets) {
        for (const char* kind : {"seeds", "regressions"}) {
            const fs::path folder = fs::path(LIKENESS_FUZZ_INPUTS) / kind / target;
            if (!fs::exists(folder)) continue;
            for (const auto& entry : fs::directory_iterator(folder)) {
                const std::string input = readFile(entry.path().string());
                EXPECT_EQ(check(reinterpret_cast<const std::uint8_t*>(input.data()), input.size()), "") << entry.path();
                ++replayed;
            }
        }
    }
    EXPECT_GE(replayed, 6u) << "the seeds are missing";
}
