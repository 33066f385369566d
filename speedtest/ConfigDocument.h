#ifndef CONFIGDOCUMENT_H
#define CONFIGDOCUMENT_H

#include <QString>
#include <QVariantMap>

#include <optional>

#include "ConfigClient.h"
#include "ConfigDownload.h"
#include "ConfigLatency.h"

// What one configuration document yields (Client::parseConfigDocument).
// A record is set only when its element is present; the last element of a
// name wins.
struct ConfigDocument
{
    QString error; // the error text to report; empty when the document was read
    QVariantMap configs;
    std::optional<ConfigClient> client;
    std::optional<ConfigDownload> download;
    std::optional<ConfigLatency> latency;
    std::optional<ConfigLatency> socketLatency;
};

#endif // CONFIGDOCUMENT_H
