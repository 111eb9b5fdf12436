// libFuzzer target: any bytes as a feature file, loaded by the loader and by the reference, bit for bit.
// Runs in a fresh folder of its own under the temporary directory.
#include "FuzzChecks.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    return enterFuzzFolder();
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return stopOnProblem("feature_loader_fuzz", checkLoaderAgainstReference(data, size));
}
