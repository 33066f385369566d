#include "ServerCache.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QLocale>
#include <QStandardPaths>
#include <QtNumeric>

#include "ServerList.h"

namespace {

// A number, or a text that reads as one; anything else is 0. A JSON number
// is always finite, so "nan" and "inf" are no numbers here either: they
// could not be written back.
double numberOf(const QJsonValue &value)
{
    if (value.isDouble())
        return value.toDouble();
    if (value.isString()) {
        bool ok = false;
        const double number = value.toString().toDouble(&ok);
        return ok && qIsFinite(number) ? number : 0.0;
    }
    return 0.0;
}

// A text, or a number in its shortest decimal text; anything else is empty.
QString textOf(const QJsonValue &value)
{
    if (value.isString())
        return value.toString();
    if (value.isDouble())
        return QString::number(value.toDouble(), 'g', QLocale::FloatingPointShortest);
    return QString();
}

} // namespace

QString ServerCache::cacheDirectory()
{
    QStringList candidates = QStandardPaths::standardLocations(QStandardPaths::CacheLocation);
    candidates.append(QDir::homePath() + QStringLiteral("/.cache"));
    return candidates.first() + QStringLiteral("/kavimeter/");
}

bool ServerCache::createDirectory(const QString &dir)
{
    return QDir().mkpath(dir);
}

QString ServerCache::filePath(const QString &dir)
{
    return dir + QStringLiteral("/servers.json");
}

qint64 ServerCache::ageInDays(const QString &path, const QDateTime &now)
{
    const QDate modified = QFileInfo(path).lastModified().toLocalTime().date();
    return modified.daysTo(now.toLocalTime().date());
}

bool ServerCache::isFresh(const QString &path, const QDateTime &now)
{
    return QFileInfo::exists(path) && ageInDays(path, now) <= MaxAgeDays;
}

QList<ServerItem> ServerCache::fromJson(const QByteArray &json)
{
    QList<ServerItem> servers;
    const QJsonArray entries = QJsonDocument::fromJson(json).array();
    for (const QJsonValue &entry : entries) {
        const QJsonObject object = entry.toObject();
        ServerItem item;
        item.setLatitude(numberOf(object.value(QLatin1String("latitude"))));
        item.setLongitude(numberOf(object.value(QLatin1String("longitude"))));
        item.setCountry(textOf(object.value(QLatin1String("country"))));
        item.setDistance(numberOf(object.value(QLatin1String("distance"))));
        item.setHost(textOf(object.value(QLatin1String("host"))));
        item.setLatencyUrl(textOf(object.value(QLatin1String("latencyUrl"))));
        item.setName(textOf(object.value(QLatin1String("name"))));
        item.setSponsor(textOf(object.value(QLatin1String("sponsor"))));
        item.setUrl(textOf(object.value(QLatin1String("url"))));
        servers.append(item);
    }
    return servers;
}

QByteArray ServerCache::toJson(const QList<ServerItem> &servers)
{
    QJsonArray entries;
    for (const ServerItem &item : servers) {
        QJsonObject object;
        object.insert(QStringLiteral("country"), item.country());
        object.insert(QStringLiteral("distance"), item.distance());
        object.insert(QStringLiteral("host"), item.host());
        object.insert(QStringLiteral("latencyUrl"), item.latencyUrl());
        object.insert(QStringLiteral("latitude"), item.latitude());
        object.insert(QStringLiteral("longitude"), item.longitude());
        object.insert(QStringLiteral("name"), item.name());
        object.insert(QStringLiteral("sponsor"), item.sponsor());
        object.insert(QStringLiteral("url"), item.url());
        entries.append(object);
    }
    return QJsonDocument(entries).toJson(QJsonDocument::Indented);
}

QList<ServerItem> ServerCache::load(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QList<ServerItem>();
    return fromJson(file.readAll());
}

bool ServerCache::save(const QString &path, const ServerList *list)
{
    QList<ServerItem> servers;
    for (int i = 0; list && i < list->count(); ++i)
        servers.append(list->at(i));
    if (servers.isEmpty())
        return false;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    const QByteArray json = toJson(servers);
    return file.write(json) == json.size();
}

bool ServerCache::clear(const QString &path)
{
    return QFile::remove(path);
}
