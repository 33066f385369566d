#ifndef REPORTLINES_H
#define REPORTLINES_H

#include <QByteArray>
#include <QList>

// The report's lines, each with its line feed (a last line without one is
// kept as it is), so a test compares them byte for byte.
inline QList<QByteArray> splitReportLines(const QByteArray &text)
{
    QList<QByteArray> lines;
    int from = 0;
    int end;
    while ((end = text.indexOf('\n', from)) >= 0) {
        lines << text.mid(from, end + 1 - from);
        from = end + 1;
    }
    if (from < text.size())
        lines << text.mid(from);
    return lines;
}

#endif // REPORTLINES_H
