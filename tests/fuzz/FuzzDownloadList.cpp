// Download list: every entry is one non-empty, simplified line, and the
// entries are those of a plain reading of the lines (text mode drops every
// carriage return, lines end at line feeds).
#include <QByteArray>
#include <QList>
#include <QString>
#include <QVector>

#include "DownloadList.h"
#include "FuzzTargets.h"

namespace {

QVector<QString> plainReading(QByteArray bytes)
{
    bytes.replace('\r', QByteArray());
    QVector<QString> entries;
    const QList<QByteArray> lines = bytes.split('\n');
    for (const QByteArray &line : lines) {
        const QString entry = QString::fromUtf8(line).simplified();
        if (!entry.isEmpty())
            entries.append(entry);
    }
    return entries;
}

} // namespace

int fuzzDownloadList(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), int(size));
    const QVector<QString> entries = DownloadList::parse(bytes);

    FUZZ_CHECK(entries.size() <= bytes.count('\n') + 1);
    for (const QString &entry : entries) {
        FUZZ_CHECK(!entry.isEmpty());
        FUZZ_CHECK(!entry.front().isSpace() && !entry.back().isSpace());
        FUZZ_CHECK(entry == entry.simplified());
        FUZZ_CHECK(!entry.contains(QLatin1Char('\n')) && !entry.contains(QLatin1Char('\r')));
    }
    FUZZ_CHECK(DownloadList::parse(bytes) == entries);
    FUZZ_CHECK(entries == plainReading(bytes));
    return 0;
}
