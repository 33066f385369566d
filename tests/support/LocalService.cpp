#include "LocalService.h"

#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>
#include <QTimer>

#include <memory>

namespace {

const qint64 Chunk = 256 * 1024;

const QByteArray &filler()
{
    static const QByteArray bytes(Chunk, 'x');
    return bytes;
}

} // namespace

LocalService::LocalService(bool tls, QObject *parent) : QTcpServer(parent), m_tls(tls)
{
    listen(QHostAddress::LocalHost);
}

QString LocalService::url(const QString &path) const
{
    return QStringLiteral("%1://%2%3").arg(m_tls ? "https" : "http", host(), path);
}

QString LocalService::host() const
{
    return QStringLiteral("127.0.0.1:%1").arg(serverPort());
}

QString LocalService::refusedHost()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    return QStringLiteral("127.0.0.1:%1").arg(probe.serverPort());
}

void LocalService::trustTestCertificate()
{
    QSslConfiguration conf = QSslConfiguration::defaultConfiguration();
    conf.setCaCertificates(
            conf.caCertificates()
            + QSslCertificate::fromPath(QStringLiteral(OSP_TEST_CERT_DIR "/localhost.crt")));
    QSslConfiguration::setDefaultConfiguration(conf);
}

qint64 LocalService::now()
{
    static QElapsedTimer clock;
    if (!clock.isValid())
        clock.start();
    return clock.elapsed();
}

void LocalService::send(QTcpSocket *socket, const QString &path, const QByteArray &bytes)
{
    Sent &s = sent[path];
    s.bytes += socket->write(bytes);
    s.last = now();
    if (s.first < 0)
        s.first = s.last;
}

void LocalService::incomingConnection(qintptr descriptor)
{
    QTcpSocket *socket = m_tls ? new QSslSocket(this) : new QTcpSocket(this);
    socket->setSocketDescriptor(descriptor);
    if (m_tls) {
        auto *ssl = static_cast<QSslSocket *>(socket);
        ssl->setLocalCertificate(QStringLiteral(OSP_TEST_CERT_DIR "/localhost.crt"));
        ssl->setPrivateKey(QStringLiteral(OSP_TEST_CERT_DIR "/localhost.key"));
        ssl->startServerEncryption();
    }
    auto pending = std::make_shared<QByteArray>();
    connect(socket, &QTcpSocket::readyRead, this,
            [this, socket, pending] { serve(socket, pending.get()); });
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
}

void LocalService::serve(QTcpSocket *socket, QByteArray *pending)
{
    pending->append(socket->readAll());
    if (pending->startsWith("DOWNLOAD ")) {
        const int end = pending->indexOf('\n');
        if (end < 0)
            return;
        const QByteArray line = pending->left(end + 1);
        pending->remove(0, end + 1);
        commands << line;
        const qint64 n = line.mid(9).trimmed().toLongLong();
        const QString path = QStringLiteral("DOWNLOAD");
        if (download == Behaviour::CloseEarly) { // 256 KiB in two pieces a moment apart, so the
                                                 // time is measurable
            send(socket, path, filler().left(Chunk / 2));
            QTimer::singleShot(20, socket, [this, socket, path] {
                send(socket, path, filler().left(Chunk / 2));
                socket->disconnectFromHost();
            });
            return;
        }
        stream(socket, path, QByteArray(), qMin(n, download == Behaviour::Slow ? 4 * Chunk : n),
               download);
        return;
    }
    const int end = pending->indexOf("\r\n\r\n");
    if (end < 0)
        return;
    const QList<QByteArray> lines = pending->left(end).split('\n');
    pending->clear();
    lastHeaders.clear();
    for (int i = 1; i < lines.size(); ++i) {
        const int colon = lines[i].indexOf(':');
        lastHeaders.insert(lines[i].left(colon).trimmed().toLower(),
                           lines[i].mid(colon + 1).trimmed());
    }
    const QString path = QString::fromLatin1(lines.first().split(' ').value(1));
    requests << path;
    answer(socket, path);
}

void LocalService::answer(QTcpSocket *socket, const QString &path)
{
    Route r;
    if (m_routes.contains(path))
        r = m_routes.value(path);
    else
        r.status = 404, r.body = "not found";
    if (r.behaviour == Behaviour::Silent)
        return;
    const qint64 size = r.fillerBytes >= 0 ? r.fillerBytes : r.body.size();
    QByteArray head =
            "HTTP/1.1 " + QByteArray::number(r.status) + " Status\r\nConnection: close\r\n";
    if (r.behaviour != Behaviour::Endless)
        head += "Content-Length: " + QByteArray::number(size) + "\r\n";
    if (!r.location.isEmpty())
        head += "Location: " + r.location + "\r\n";
    socket->write(head + "\r\n");
    stream(socket, path,
           r.fillerBytes >= 0 || r.behaviour == Behaviour::Endless ? QByteArray() : r.body, size,
           r.behaviour);
}

// The body, or filler bytes when it is null, handed over as the socket
// drains, so gigabytes cost no memory.
void LocalService::stream(QTcpSocket *socket, const QString &path, const QByteArray &body,
                          qint64 bytes, Behaviour behaviour)
{
    if (behaviour == Behaviour::Silent)
        return;
    const bool endless = behaviour == Behaviour::Endless, trickle = behaviour == Behaviour::Trickle;
    const bool slow = trickle || behaviour == Behaviour::Slow;
    const qint64 stop = behaviour == Behaviour::CloseEarly ? bytes / 2 : bytes;
    // One piece each 100 ms when slow: a tenth of a body, 256 KiB of filler, 1 KiB when trickling.
    const qint64 piece = trickle     ? 1024
            : slow && !body.isNull() ? qMax<qint64>(1, (bytes + 9) / 10)
                                     : Chunk;
    // Windows' event loop returns only once no socket message is waiting; an
    // endless stream fed from bytesWritten to a reader in the same loop
    // would keep it from ever returning: there a timer paces it, a piece a tick.
    const bool paced = slow || (endless && QSysInfo::productType() == QLatin1String("windows"));
    auto sent = std::make_shared<qint64>(0);
    const auto pump = [this, path, socket, body, sent, stop, piece, endless, paced] {
        while ((endless || *sent < stop) && socket->bytesToWrite() < 4 * Chunk) {
            const int n = int(endless ? piece : qMin(piece, stop - *sent));
            send(socket, path,
                 body.isNull() ? QByteArray::fromRawData(filler().constData(), n)
                               : body.mid(int(*sent), n));
            *sent += n;
            if (paced)
                return;
        }
        if (!endless && *sent >= stop && socket->state() == QAbstractSocket::ConnectedState)
            socket->disconnectFromHost();
    };
    if (paced) {
        auto *timer = new QTimer(socket);
        connect(timer, &QTimer::timeout, socket, pump);
        timer->start(slow ? 100 : 10);
    } else {
        connect(socket, &QTcpSocket::bytesWritten, socket, pump);
    }
    pump();
}

const QString ConfigPath = QStringLiteral("/speedtest-config.php");
const QString ListPath = QStringLiteral("/speedtest-servers-static.php");
const QString LatencyPath = QStringLiteral("/speedtest/latency.txt");
const QByteArray Separator = QByteArray(54, '=') + '\n';
const QByteArray FinishMarker = QByteArray(27, '=') + "finn" + QByteArray(27, '=') + '\n';
const QByteArray CancelMarker = QByteArray(27, '=') + "cancel" + QByteArray(27, '=') + '\n';

QByteArray configDocument(const QString &testlength, const QString &threads, const QString &timeout)
{
    return QStringLiteral(
                   "<?xml version=\"1.0\"?><settings><client lat=\"1\" lon=\"-1\" isp=\"Acme "
                   "Net\"/><download "
                   "testlength=\"%1\" threadsperurl=\"%2\"/><latency timeout=\"%3\"/></settings>")
            .arg(testlength, threads, timeout)
            .toUtf8();
}

QByteArray serverListDocument(const QList<TestServer> &servers)
{
    QString out = QStringLiteral("<?xml version=\"1.0\"?><settings><servers>");
    for (const TestServer &s : servers)
        out += QStringLiteral("<server url=\"%1\" lat=\"%2\" lon=\"%3\" name=\"%4\" "
                              "country=\"Testland\" cc=\"TL\" sponsor=\"Sponsor "
                              "%4\" id=\"1000\" host=\"%5\"/>")
                       .arg(s.service->url(QStringLiteral("/speedtest/upload.php")))
                       .arg(s.lat)
                       .arg(s.lon)
                       .arg(s.name, s.service->host());
    return (out + QStringLiteral("</servers></settings>")).toUtf8();
}
