// The libFuzzer entry of one target; OSP_FUZZ_FUNCTION names it.
#include <QLoggingCategory>

#include "FuzzTargets.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // The parsers trace every line; printing that would slow the fuzzer down.
    QLoggingCategory::setFilterRules("*.debug=false");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    return OSP_FUZZ_FUNCTION(data, size);
}
