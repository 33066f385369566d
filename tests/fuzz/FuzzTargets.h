#ifndef FUZZTARGETS_H
#define FUZZTARGETS_H

#include <cstddef>
#include <cstdint>

// The input parsers, each run on arbitrary bytes with its invariants
// checked. A broken invariant aborts (qFatal), so that libFuzzer reports it
// as a crash and a corpus test fails. Each returns 0, as libFuzzer wants.
int fuzzConfigDocument(const uint8_t *data, size_t size);
int fuzzServerList(const uint8_t *data, size_t size);
int fuzzServerCache(const uint8_t *data, size_t size);
int fuzzDownloadList(const uint8_t *data, size_t size);
int fuzzSizeText(const uint8_t *data, size_t size);

// Drops Qt's debug, info and warning messages: the parsers trace every
// line, which would slow the fuzzer down to the speed of its output.
void silenceQtMessages();

[[noreturn]] void fuzzCheckFailed(const char *file, int line, const char *condition);

#define FUZZ_CHECK(condition)                                   \
    do {                                                        \
        if (!(condition))                                       \
            fuzzCheckFailed(__FILE__, __LINE__, #condition);    \
    } while (false)

#endif // FUZZTARGETS_H
