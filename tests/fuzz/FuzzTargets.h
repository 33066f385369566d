#ifndef FUZZTARGETS_H
#define FUZZTARGETS_H

#include <cstddef>
#include <cstdint>

// The input parsers on arbitrary bytes, their invariants checked. A broken
// invariant aborts (qFatal), so that libFuzzer reports a crash and the corpus replay
// of the test suite fails. Each returns 0, as libFuzzer wants.
int fuzzConfigDocument(const uint8_t *data, size_t size);
int fuzzServerList(const uint8_t *data, size_t size);
int fuzzServerCache(const uint8_t *data, size_t size);
int fuzzDownloadList(const uint8_t *data, size_t size);
int fuzzSizeText(const uint8_t *data, size_t size);

#endif // FUZZTARGETS_H
