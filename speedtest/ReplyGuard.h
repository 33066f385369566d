#ifndef REPLYGUARD_H
#define REPLYGUARD_H

#include <QObject>
#include <QString>
#include <QTimer>

class QNetworkReply;

// Bounds a document request: the reply is aborted when nothing arrives for
// the idle time-out or when its body would grow past the body limit. The
// reason is announced through cut() before the abort, so that the owner can
// ignore the cancellation error and the cut body that follow.
class ReplyGuard : public QObject
{
    Q_OBJECT

public:
    // Becomes a child of reply and starts the idle timer at once.
    explicit ReplyGuard(QNetworkReply *reply);

    // Call before taking more bytes: false (and the reply cut) when a body of
    // bodySize bytes would pass the limit.
    bool admits(qint64 bodySize);
    bool isCut() const;

    // For tests only, to keep them short: the product never changes these.
    static void setIdleTimeoutForTesting(int ms);
    static void setBodyLimitForTesting(qint64 bytes); // 0: the product's own again

signals:
    void cut(const QString &reason);

private:
    void cutOff(const QString &reason);
    void restart();

    QNetworkReply *m_reply;
    QTimer m_idle;
    bool m_cut;
};

#endif // REPLYGUARD_H
