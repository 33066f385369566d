#ifndef RECORDTEXT_H
#define RECORDTEXT_H

#include <QStringList>
#include <QVariant>

#include <optional>

#include "ConfigDocument.h"
#include "ServerItem.h"

// A record's fields in one text, so records compare as texts; doubles in
// their shortest exact form, equal texts for equal numbers, NaN included.
template<typename... V>
QString join(const V &...v)
{
    return QStringList{ QVariant(v).toString()... }.join(QLatin1Char('|'));
}
inline QString text(const ConfigClient &c)
{
    return join(c.ip(), c.lat(), c.lon(), c.rating(), c.isp(), c.isprating(), c.ispdlavg(),
                c.ispulavg());
}
inline QString text(const ConfigDownload &d)
{
    return join(d.testlength(), d.initialtest(), d.mintestsize(), d.threadsperurl());
}
inline QString text(const ConfigLatency &l)
{
    return join(l.testlength(), l.waittime(), l.timeout());
}
template<typename Record>
QString text(const std::optional<Record> &r)
{
    return r ? text(*r) : QStringLiteral("-");
}
inline QString text(const ServerItem &s)
{
    return join(s.latitude(), s.longitude(), s.distance(), s.country(), s.name(), s.host(),
                s.sponsor(), s.url(), s.latencyUrl());
}
inline QStringList texts(const QList<ServerItem> &servers)
{
    QStringList out;
    for (const ServerItem &s : servers)
        out << text(s);
    return out;
}

#endif // RECORDTEXT_H
