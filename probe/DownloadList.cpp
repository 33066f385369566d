#include "DownloadList.h"

#include <QBuffer>
#include <QDebug>
#include <QFile>

QVector<QString> DownloadList::read(const QString &path)
{
    qDebug() << "read config download";
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return QVector<QString>();
    const QVector<QString> entries = parse(file);
    file.close();
    return entries;
}

QVector<QString> DownloadList::parse(QIODevice &device)
{
    QVector<QString> entries;
    while (!device.atEnd()) {
        const QByteArray bytes = device.readLine();
        if (bytes.isEmpty())
            break; // a read error: even an empty line holds its line feed
        const QString line = QString::fromUtf8(bytes).simplified();
        qDebug().noquote() << line;
        if (!line.isEmpty())
            entries.append(line);
    }
    return entries;
}

QVector<QString> DownloadList::parse(const QByteArray &bytes)
{
    QBuffer buffer;
    buffer.setData(bytes);
    if (!buffer.open(QIODevice::ReadOnly | QIODevice::Text))
        return QVector<QString>();
    return parse(buffer);
}

QString DownloadList::resultText(const QString &entry, float speed)
{
    // Both fields in one pass, so that a "%2" inside an address stays as it is.
    return QStringLiteral("\nfile: %1, speed %2mbps\n \n")
            .arg(entry, QString::number(double(speed), 'g', 6));
}
