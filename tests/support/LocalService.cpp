#include "LocalService.h"

#include <QSslSocket>
#include <QTimer>

void LocalService::incomingConnection(qintptr descriptor)
{
    QTcpSocket *socket = m_tls ? new QSslSocket(this) : new QTcpSocket(this);
    socket->setSocketDescriptor(descriptor);
    if (auto *ssl = qobject_cast<QSslSocket *>(socket)) {
        ssl->setLocalCertificate(OSP_TEST_CERT_DIR "/localhost.crt");
        ssl->setPrivateKey(OSP_TEST_CERT_DIR "/localhost.key");
        ssl->setProtocol(QSsl::TlsV1_2OrLater);
        ssl->startServerEncryption();
    }
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    // Answers a whole request: the head, then the body, or filler bytes when
    // it is null, handed over as the socket drains, so gigabytes cost no memory.
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
        const int end = socket->peek(1 << 20).indexOf("\r\n\r\n");
        QString path = "DOWNLOAD";
        Route r{ 200, {}, {}, 0, download };
        QByteArray head;
        if (socket->peek(9) == "DOWNLOAD " && socket->canReadLine()) {
            const QByteArray command = socket->readLine();
            r.fillerBytes = download == Behaviour::CloseEarly
                    ? 524288 // announced; half of it sent
                    : command.mid(9).trimmed().toLongLong();
        } else if (end >= 0) {
            path = socket->read(end + 4).split(' ').value(1);
            requests << path;
            r = m_routes.value(path, Route{ 404, "not found" });
            head = "HTTP/1.1 " + QByteArray::number(r.status) + " Status\r\nLocation: " + r.location
                    + "\r\nConnection: close\r\n";
        } else {
            return;
        }
        const Behaviour how = r.behaviour;
        const bool endless = how == Behaviour::Endless, early = how == Behaviour::CloseEarly;
        const QByteArray body = r.fillerBytes < 0 && !endless ? r.body : QByteArray();
        const qint64 size = body.isNull() ? r.fillerBytes : body.size();
        const qint64 stop = endless ? LLONG_MAX : early ? size / 2 : size;
        // Paced: a piece a tick; a tenth of a body (filler: 256 KiB) when slow, half of what
        // is sent before closing early. Windows' event loop returns only
        // once no socket message is waiting: an endless stream fed from bytesWritten to a reader in
        // the same loop would keep it from ever returning, so there a timer paces it too. Silent:
        // -1.
        const int tick = QVector<int>{ 0, 100, -1, 20,
                                       QSysInfo::productType() == "windows" ? 10 : 0 }[int(how)];
        const qint64 piece = early       ? (stop + 1) / 2
                : tick && !body.isNull() ? (size + 9) / 10
                                         : 262144; // 256 KiB
        if (tick < 0)
            return;
        if (!head.isEmpty())
            socket->write(head
                          + (endless ? "" : "Content-Length: " + QByteArray::number(size) + "\r\n")
                          + "\r\n");
        auto done = std::make_shared<qint64>(0);
        const auto pump = [=] {
            while (*done < stop && socket->bytesToWrite() < 1048576) { // 1 MiB waiting at most
                const int n = int(qMin(piece, stop - *done));
                Sent &s = sent[path];
                s.first = s.first < 0 ? now() : s.first;
                socket->write(body.isNull() ? QByteArray(n, 'x') : body.mid(int(*done), n));
                s.last = now();
                *done += n;
                if (tick)
                    break;
            }
            if (*done == stop) // once
                ++*done, socket->disconnectFromHost();
        };
        if (tick) {
            auto *timer = new QTimer(socket);
            connect(timer, &QTimer::timeout, socket, pump);
            timer->start(tick);
        } else {
            connect(socket, &QTcpSocket::bytesWritten, socket, pump);
        }
        pump();
    });
}

const QString ConfigPath = "/speedtest-config.php";
const QString ListPath = "/speedtest-servers-static.php";
const QString LatencyPath = "/speedtest/latency.txt";
const QByteArray CancelMarker = "===========================cancel===========================\n";

QByteArray configDocument()
{
    return "<?xml version=\"1.0\"?><settings><client lat=\"1\" lon=\"-1\" isp=\"Acme "
           "Net\"/><download testlength=\"1\" threadsperurl=\"2\"/><latency "
           "timeout=\"1\"/></settings>";
}

QByteArray serverListDocument(const QList<TestServer> &servers)
{
    QString out = "<?xml version=\"1.0\"?><settings><servers>";
    for (const TestServer &s : servers)
        out += QString("<server url=\"%1\" lat=\"%2\" lon=\"%3\" name=\"%4\" "
                       "country=\"Testland\" cc=\"TL\" sponsor=\"Sponsor %4\" id=\"1000\" "
                       "host=\"%5\"/>")
                       .arg(s.service->url("/speedtest/upload.php"))
                       .arg(s.lat)
                       .arg(s.lon)
                       .arg(s.name, s.service->host());
    return (out + "</servers></settings>").toUtf8();
}
