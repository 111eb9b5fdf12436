// libFuzzer target: any bytes as the values of a record: its text against the stream's, and loaded back.
// Runs in a fresh folder of its own under the temporary directory.
#include "FuzzChecks.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    return enterFuzzFolder();
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return stopOnProblem("feature_record_fuzz", checkRecordRoundTrip(data, size));
}
