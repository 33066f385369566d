#include "EndpointChecks.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <initializer_list>

#include "ReportLog.h"

const char EndpointChecks::CdnTestUrl[] = "http://cdn-us.orvana.example.com/test";
const char EndpointChecks::AssetTestUrl[] = "https://assets-us.orvana.example.com/test";
const char EndpointChecks::BucketHttpsTestUrl[] =
        "https://orvana-assets-us.storage.example.net/test";
const char EndpointChecks::BucketHttpTestUrl[] = "http://orvana-assets-us.storage.example.net/test";
const char EndpointChecks::ApiEndpointUrl[] =
        "https://api-us.orvana.example.com/orvana-admin/network/test";
const char EndpointChecks::NetworkTestUrl[] = "http://nettest.orvana.example.com/network/test";

const char EndpointChecks::ResponseFile[] = "response.json";

namespace {

// The body is discarded as it arrives; the reply never holds more than this.
const qint64 ReadBufferBytes = 64 * 1024;

QVector<QString> toStrings(std::initializer_list<const char *> urls)
{
    QVector<QString> strings;
    for (const char *url : urls)
        strings.append(QString::fromLatin1(url));
    return strings;
}

} // namespace

EndpointChecks::EndpointChecks()
    : m_testUrls(toStrings({ CdnTestUrl, AssetTestUrl, BucketHttpsTestUrl, BucketHttpTestUrl })),
      m_apiEndpoints(toStrings({ ApiEndpointUrl, NetworkTestUrl })),
      m_pauseMsecs(PauseMsecs),
      m_noAnswerMsecs(NoAnswerMsecs)
{
}

EndpointChecks::EndpointChecks(const QVector<QString> &testUrls,
                               const QVector<QString> &apiEndpoints, int pauseMsecs,
                               int noAnswerMsecs)
    : m_testUrls(testUrls),
      m_apiEndpoints(apiEndpoints),
      m_pauseMsecs(pauseMsecs),
      m_noAnswerMsecs(noAnswerMsecs)
{
}

bool EndpointChecks::runEndpointChecks(const QString &logPath, const Predicate &runActive,
                                       const Predicate &newerRunStarted) const
{
    struct List
    {
        const QVector<QString> &urls;
        QString fileName;
        const char *done;
        const char *fail;
    };
    const List lists[] = {
        { m_testUrls, QString::fromLatin1(ResponseFile), "download file done from ",
          "download file fail from " },
        { m_apiEndpoints, QString(), "query API done from ", "query API fail from " },
    };
    const auto active = [&runActive] { return !runActive || runActive(); };
    const auto append = [&logPath](const QString &text) { ReportLog::appendLog(logPath, text); };

    for (const List &list : lists) {
        for (const QString &url : list.urls) {
            if (!active())
                return false;
            bool interrupted = false;
            const int msecs = probeUrl(url, list.fileName, &interrupted);
            // A wait cut short by the application's exit has no answer to
            // report.
            if (interrupted)
                return false;
            if (!newerRunStarted || !newerRunStarted()) {
                if (msecs < 0) {
                    append(QString::fromLatin1(list.fail));
                    append(url);
                    append(QStringLiteral(" failed \n"));
                } else {
                    append(QString::fromLatin1(list.done));
                    append(url);
                    append(QStringLiteral(" in "));
                    append(QString::number(msecs));
                    append(QStringLiteral(" ms \n"));
                }
            }
            // A cancelled run has nothing left to pause for.
            if (!active())
                return false;
            QThread::msleep(static_cast<unsigned long>(m_pauseMsecs));
        }
    }
    return active();
}

int EndpointChecks::probeUrl(const QString &url, const QString &fileName, bool *interrupted) const
{
    // A monotonic clock: a probe across midnight or a clock change still
    // gets its true duration.
    QElapsedTimer clock;
    clock.start();

    QString target = url;
    if (!fileName.isEmpty())
        target += QStringLiteral("/response.json");

    QNetworkRequest request(QUrl(target, QUrl::TolerantMode));
    QSslConfiguration tls = request.sslConfiguration();
    tls.setPeerVerifyMode(QSslSocket::VerifyNone);
    // Any version from TLS 1.0 up that both sides allow: Windows' own TLS
    // stack takes TlsV1SslV3 as TLS 1.0 alone, which current servers refuse.
    tls.setProtocol(QSsl::TlsV1_0OrLater);
    request.setSslConfiguration(tls);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);

    QNetworkAccessManager manager;
    QNetworkReply *reply = manager.get(request);
    reply->setReadBufferSize(ReadBufferBytes);

    QEventLoop wait;
    QTimer noAnswer;
    noAnswer.setSingleShot(true);
    // A coarse timer may fire up to 5 % early.
    noAnswer.setTimerType(Qt::PreciseTimer);
    noAnswer.setInterval(m_noAnswerMsecs);
    QObject::connect(&noAnswer, &QTimer::timeout, reply, &QNetworkReply::abort);
    QObject::connect(reply, &QNetworkReply::metaDataChanged, &noAnswer,
                     [&noAnswer] { noAnswer.start(); });
    QObject::connect(reply, &QNetworkReply::readyRead, &noAnswer, [reply, &noAnswer] {
        noAnswer.start();
        reply->skip(reply->bytesAvailable());
    });
    QObject::connect(reply, &QNetworkReply::finished, &wait, &QEventLoop::quit);
    noAnswer.start();
    if (!reply->isFinished())
        wait.exec();
    noAnswer.stop();

    if (!reply->isFinished()) {
        if (interrupted)
            *interrupted = true;
        return -1;
    }
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (reply->bytesAvailable() > 0)
        reply->skip(reply->bytesAvailable());
    // A 200 whose body stalled past the bound or was cut off is no answer.
    const bool answered = status == 200 && reply->error() == QNetworkReply::NoError;
    reply->deleteLater();
    if (!answered)
        return -1;
    return int(clock.elapsed());
}
