// The libFuzzer entry of one target; OSP_FUZZ_FUNCTION names it.
#include "FuzzTargets.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    silenceQtMessages();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    return OSP_FUZZ_FUNCTION(data, size);
}
