#include "ProcessMemory.h"

#include <QFile>
#include <QList>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define OSP_UNDER_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define OSP_UNDER_ASAN 1
#endif

namespace ProcessMemory {

qint64 residentBytes()
{
#ifdef Q_OS_LINUX
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    bool ok = false;
    const qint64 pages = fields.value(1).toLongLong(&ok);
    if (!ok)
        return -1;
    return pages * qint64(::sysconf(_SC_PAGESIZE));
#else
    return -1;
#endif
}

bool underAddressSanitizer()
{
#ifdef OSP_UNDER_ASAN
    return true;
#else
    return false;
#endif
}

} // namespace ProcessMemory
