#ifndef HTTPROUTE_H
#define HTTPROUTE_H

#include <QByteArray>
#include <QHash>
#include <QString>

// What the local file server answers for one path.
struct HttpRoute
{
    int status = 200;
    // The body as given, unless generatedSize is set.
    QByteArray body;
    // When >= 0: a body of this many bytes made while sending (see
    // HttpFileServer::generatedBody), never held in memory as a whole.
    qint64 generatedSize = -1;
    // Location header, for redirects.
    QByteArray location;
    // Wait this long after the request before answering.
    int delayMsecs = 0;
    // Read the request and never answer; the connection stays open.
    bool silent = false;
    // When >= 0: send the headers and this many body bytes, then nothing
    // more; the connection stays open.
    qint64 stallAfter = -1;
    // When both are set: a slow sender, chunkBytes every chunkIntervalMsecs.
    int chunkBytes = 0;
    int chunkIntervalMsecs = 0;
};

// One request as the server received it.
struct HttpRequestRecord
{
    QByteArray method;
    QString path;
    // Header names in lower case.
    QHash<QByteArray, QByteArray> headers;
};

#endif // HTTPROUTE_H
