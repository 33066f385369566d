#ifndef SIZEFIELD_H
#define SIZEFIELD_H

#include <QtGlobal>

#include <cstring>

// A 32-bit record field keeps the low 32 bits of a size text's value.
inline qint32 lowBits32(qint64 value)
{
    const quint32 low = quint32(quint64(value) & 0xffffffffu);
    qint32 result;
    std::memcpy(&result, &low, sizeof result);
    return result;
}

#endif // SIZEFIELD_H
