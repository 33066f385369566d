#ifndef DOWNLOADLIST_H
#define DOWNLOADLIST_H

#include <QByteArray>
#include <QString>
#include <QVector>

class QIODevice;

// The download list file: one address per line, white space simplified,
// empty lines skipped, no comments or quoting; duplicates are kept.
class DownloadList
{
public:
    // The entries of the file at path; empty when it cannot be opened.
    static QVector<QString> read(const QString &path);
    // The entries of an open device, read line by line to its end.
    static QVector<QString> parse(QIODevice &device);
    static QVector<QString> parse(const QByteArray &bytes);

    // The report text of one download result.
    static QString resultText(const QString &entry, float speed);
};

#endif // DOWNLOADLIST_H
