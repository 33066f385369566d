#ifndef PROCESSMEMORY_H
#define PROCESSMEMORY_H

#include <QtGlobal>

namespace ProcessMemory {

// Resident set size of this process in bytes, -1 where it cannot be read.
qint64 residentBytes();

// True in a build with AddressSanitizer, whose quarantine keeps freed memory
// resident, so that resident-size bounds do not hold there.
bool underAddressSanitizer();

} // namespace ProcessMemory

#endif // PROCESSMEMORY_H
