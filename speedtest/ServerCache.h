#ifndef SERVERCACHE_H
#define SERVERCACHE_H

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

#include "ServerItem.h"

class ServerList;

// The file servers.json that keeps the last fetched server list for a week,
// so that most speed tests need not fetch it. The speed test decides when to
// use these; they only read, write and judge the file.
//
// The cache never stands for an empty list: an empty list is not written,
// and a file that yields no server (missing, unreadable, corrupt, an empty
// array, half written) reads as an empty list, which means "fetch".
class ServerCache
{
public:
    static const int MaxAgeDays = 7;

    ServerCache() = delete;

    // The per-user cache directory followed by "/kavimeter/": the platform's
    // own cache location when it names one, else ~/.cache.
    static QString cacheDirectory();
    // Creates dir with every missing level; false when that fails.
    static bool createDirectory(const QString &dir);
    // dir followed by "/servers.json".
    static QString filePath(const QString &dir);

    // Calendar days (midnights passed, local time) from the file's last
    // modification to now. The modification time, not the birth time: the
    // file is rewritten in place, which keeps its birth time for ever.
    // Meaningful for an existing file only.
    static qint64 ageInDays(const QString &path,
                            const QDateTime &now = QDateTime::currentDateTime());
    // A file exists at path and is at most MaxAgeDays old (or dated in the
    // future).
    static bool isFresh(const QString &path, const QDateTime &now = QDateTime::currentDateTime());

    // The servers of a cache document, in order; not a JSON array: none.
    static QList<ServerItem> fromJson(const QByteArray &json);
    // The cache document of servers: an array of objects with the nine
    // fields under their names, in the indented layout.
    static QByteArray toJson(const QList<ServerItem> &servers);

    // The servers in the file; none when it cannot be read.
    static QList<ServerItem> load(const QString &path);
    // Writes the list's servers to the file, rewriting it in place. An empty
    // list is not written. False when nothing was written.
    static bool save(const QString &path, const ServerList *list);
    // Removes the file; false when there was none to remove.
    static bool clear(const QString &path);
};

#endif // SERVERCACHE_H
