#include "DownloadMgr.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

namespace {

const char ScratchDir[] = "./temp";

// The reply holds at most this much unread body; the network layer waits for
// the scratch-file writer before it reads on, so memory stays flat for any
// file size.
const qint64 ReadBufferBytes = 1024 * 1024;

} // namespace

DownloadMgr::DownloadMgr(QObject *parent)
    : QNetworkAccessManager(parent),
      tempFile(newScratchPath()),
      elapsed(0),
      noDataTimer(new QTimer(this))
{
    noDataTimer->setSingleShot(true);
    // A coarse timer may fire up to 5 % early.
    noDataTimer->setTimerType(Qt::PreciseTimer);
    noDataTimer->setInterval(NoDataTimeout);
    connect(noDataTimer, &QTimer::timeout, this, &DownloadMgr::endStalledDownload);
}

DownloadMgr::~DownloadMgr()
{
    // The base deletes the replies; none of them may reach this object's
    // slots or members once its own part is gone.
    const QList<QNetworkReply *> replies =
            findChildren<QNetworkReply *>(QString(), Qt::FindDirectChildrenOnly);
    for (QNetworkReply *reply : replies) {
        reply->disconnect();
        delete reply;
    }
}

void DownloadMgr::download(const QString &entry)
{
    qDebug().noquote() << "ready read file" << entry;
    url = QUrl(entry, QUrl::TolerantMode);
    qDebug() << "use ulr";

    QNetworkRequest request;
    qDebug().noquote() << "ready set url" << entry;
    request.setUrl(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/pak"));
    // A redirect ends the download with the redirect's own body.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);

    // The folder is normally made at start-up beside the executable, which
    // is not the working directory when the tool is started from elsewhere.
    if (!QFileInfo::exists(QString::fromLatin1(ScratchDir)))
        QDir().mkpath(QString::fromLatin1(ScratchDir));

    QNetworkReply *reply = get(request);
    reply->setReadBufferSize(ReadBufferBytes);
    current = reply;

    tempFile = newScratchPath();
    beginTime = QDateTime::currentDateTime();
    clock.start();
    qDebug().noquote() << " begin time: " + beginTime.toString();

    connect(
            reply, &QNetworkReply::readyRead, reply, [this, reply] { writeScratch(reply); },
            Qt::DirectConnection);
    connect(reply, &QNetworkReply::finished, this, &DownloadMgr::replyFinish);
    noDataTimer->start();
}

float DownloadMgr::speed() const
{
    const qint64 size = QFileInfo(tempFile).size();
    const float result = rate(size, elapsed);
    qDebug().noquote() << "size : " + QString::number(size) + " msecs: " + QString::number(elapsed)
                    + " speed: " + QString::number(double(result));
    return result;
}

float DownloadMgr::rate(qint64 bytes, qint64 msecs)
{
    // Begin and end within one millisecond counts as one millisecond, the
    // clock's resolution: the figure stays finite and non-negative (an upper
    // estimate for such a small file, 0 when nothing arrived).
    const double seconds = double(qMax<qint64>(msecs, 1)) / 1000.0;
    return float(double(bytes) * 0.0009765625 / seconds * 0.0009765625);
}

QString DownloadMgr::scratchFile() const
{
    return tempFile;
}

qint64 DownloadMgr::elapsedMsecs() const
{
    return elapsed;
}

void DownloadMgr::setNoDataTimeout(int msecs)
{
    noDataTimer->setInterval(msecs);
}

void DownloadMgr::replyFinish()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (reply && reply == current) {
        if (reply->bytesAvailable() > 0)
            writeScratch(reply);
        noDataTimer->stop();
        elapsed = clock.elapsed();
    }

    finishTime = QDateTime::currentDateTime();
    qDebug().noquote() << " fin time: " + finishTime.toString();
    qDebug() << "download finish  finish sig";
    emit replyFinished();
}

QString DownloadMgr::newScratchPath()
{
    const QString stamp =
            QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd-hh-mm-ss-zzz"));
    QString path = QStringLiteral("%1/%2.tmp").arg(QLatin1String(ScratchDir), stamp);
    // Two downloads within one millisecond must not share a file.
    for (int n = 1; QFileInfo::exists(path); ++n)
        path = QStringLiteral("%1/%2-%3.tmp")
                       .arg(QLatin1String(ScratchDir), stamp, QString::number(n));
    return path;
}

void DownloadMgr::writeScratch(QNetworkReply *reply)
{
    if (reply != current) {
        // Only the current download may write to the current scratch file.
        reply->skip(reply->bytesAvailable());
        return;
    }
    noDataTimer->start();
    QFile file(tempFile);
    if (file.open(QIODevice::WriteOnly | QIODevice::Append)) {
        file.write(reply->readAll());
        file.close();
    } else {
        // Bytes that cannot be stored are dropped rather than left to pile
        // up in the reply.
        reply->skip(reply->bytesAvailable());
    }
}

void DownloadMgr::endStalledDownload()
{
    if (!current || current->isFinished())
        return;
    qDebug().noquote() << "download ended, no data for" << noDataTimer->interval()
                       << "ms:" << url.toDisplayString();
    current->abort();
}
