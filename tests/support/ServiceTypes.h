#ifndef SERVICETYPES_H
#define SERVICETYPES_H

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

#include <optional>

// Plain records of the local speed-test service (SpeedTestService.h).
// Every default is "behave like a healthy public server".

// How one HTTP answer is given: a document of the web host, or latency.txt /
// upload.php of a test server. The fields combine: a delay, then the status
// line and headers at once, then the body paced by pieces, rate and cut-off.
struct HttpBehaviour
{
    // Milliseconds between the end of the request and the first byte sent.
    int delayMs = 0;
    // Status code of the answer; any code, with a short reason phrase.
    int status = 200;
    // Non-empty: answer with a redirect to this URL (absolute, or a path on
    // the same port) instead of the body. The status is 302 unless `status`
    // is set to another 3xx code.
    QByteArray redirectTo;
    // Set: sent instead of the normal body (a wrong body, an error page, or
    // an empty body with QByteArray()).
    std::optional<QByteArray> body;
    // The body is split into this many parts of nearly equal size, each
    // written and flushed pieceIntervalMs after the previous one.
    int pieces = 1;
    int pieceIntervalMs = 30;
    // Above 0: the body is sent at no more than this many bytes per second.
    qint64 bytesPerSecond = 0;
    // 0 or more: the connection is closed after this many body bytes, while
    // Content-Length still announces the whole body.
    qint64 closeAfterBytes = -1;
    // Accept the connection, read the request, and never answer.
    bool silent = false;
    // Send no Content-Length and an endless body of filler bytes, until the
    // client closes the connection (pacing still applies).
    bool endless = false;
};

// How the raw download protocol of a test server answers "DOWNLOAD n\n".
// The data is filler streamed as the socket drains: n is never allocated.
struct DownloadBehaviour
{
    // Milliseconds between a command and its first data byte.
    int delayMs = 0;
    // Above 0: data is sent at no more than this many bytes per second,
    // for each connection.
    qint64 bytesPerSecond = 0;
    // 0 or more: each connection is closed after this many data bytes in all
    // (counted across the commands of that connection).
    qint64 closeAfterBytes = -1;
    // Accept the connection and read (and record) the commands, never send.
    bool silent = false;
    // Ignore n and stream until the client closes the connection.
    bool ignoreCount = false;
};

// The behaviour of one test server port: HTTP answers and download protocol.
struct ServerBehaviour
{
    HttpBehaviour http;
    DownloadBehaviour download;
    // Body of latency.txt when http.body is not set.
    QByteArray latencyBody = QByteArrayLiteral("test=test\n");
};

// The attributes of a test server's entry in the generated server list.
// "url" and "host" are always the server's own 127.0.0.1 addresses.
struct ServerEntry
{
    double lat = 0.0;
    double lon = 0.0;
    QString name;    // empty: "Test Server <index>"
    QString country; // empty: "Testland"
    QString cc;      // empty: "TL"
    QString sponsor; // empty: "Sponsor <index>"
    int id = 0;      // 0: 1000 + index
};

// One HTTP request as the service received it.
struct RecordedRequest
{
    int server = -1;        // test server index, or SpeedTestService::WebHost
    QByteArray method;      // "GET", "POST", ...
    QByteArray target;      // as sent on the request line, query included
    QString path;           // target without the query, percent-decoded
    QList<QPair<QByteArray, QByteArray>> headers; // names as sent, in order
    QByteArray body;        // only when Content-Length announced one

    // Value of the last header of that name (compared without case), or a
    // null array.
    QByteArray header(const QByteArray &name) const
    {
        QByteArray value;
        for (const auto &h : headers) {
            if (qstricmp(h.first.constData(), name.constData()) == 0)
                value = h.second;
        }
        return value;
    }
};

#endif // SERVICETYPES_H
