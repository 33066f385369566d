#include "ReplyGuard.h"

#include <QLocale>
#include <QNetworkReply>

namespace {

const int DefaultIdleTimeout = 30 * 1000;
const qint64 DefaultBodyLimit = 32 * 1024 * 1024;
const qint64 MiB = 1024 * 1024;

int s_idleTimeout = DefaultIdleTimeout;
qint64 s_bodyLimit = DefaultBodyLimit;

QString tooLargeText(qint64 limit)
{
    if (limit % MiB == 0)
        return QStringLiteral("Document too large (more than %1 MiB)").arg(limit / MiB);
    return QStringLiteral("Document too large (more than %1 bytes)").arg(limit);
}

QString timedOutText(int ms)
{
    return QStringLiteral("Request timed out after %1 s without data")
            .arg(QString::number(ms / 1000.0, 'g', QLocale::FloatingPointShortest));
}

} // namespace

ReplyGuard::ReplyGuard(QNetworkReply *reply) : QObject(reply), m_reply(reply), m_cut(false)
{
    m_idle.setSingleShot(true);
    m_idle.setInterval(s_idleTimeout);
    connect(&m_idle, &QTimer::timeout, this, [this] { cutOff(timedOutText(m_idle.interval())); });
    connect(reply, &QNetworkReply::metaDataChanged, this, &ReplyGuard::restart);
    connect(reply, &QNetworkReply::readyRead, this, &ReplyGuard::restart);
    connect(reply, &QNetworkReply::redirected, this, &ReplyGuard::restart);
    connect(reply, &QNetworkReply::downloadProgress, this, [this](qint64, qint64 total) {
        restart();
        // A declared length past the limit need not be waited for.
        if (total > s_bodyLimit)
            cutOff(tooLargeText(s_bodyLimit));
    });
    connect(reply, &QNetworkReply::finished, &m_idle, &QTimer::stop);
    m_idle.start();
}

bool ReplyGuard::admits(qint64 bodySize)
{
    if (m_cut)
        return false;
    if (bodySize <= s_bodyLimit)
        return true;
    cutOff(tooLargeText(s_bodyLimit));
    return false;
}

bool ReplyGuard::isCut() const
{
    return m_cut;
}

void ReplyGuard::setIdleTimeoutForTesting(int ms)
{
    s_idleTimeout = ms;
}

void ReplyGuard::setBodyLimitForTesting(qint64 bytes)
{
    s_bodyLimit = bytes > 0 ? bytes : DefaultBodyLimit;
}

void ReplyGuard::restart()
{
    if (!m_cut && !m_reply->isFinished())
        m_idle.start();
}

void ReplyGuard::cutOff(const QString &reason)
{
    if (m_cut)
        return;
    m_cut = true;
    m_idle.stop();
    emit cut(reason);
    m_reply->abort();
}
