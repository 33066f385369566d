#ifndef ERRORLOG_H
#define ERRORLOG_H

#include <QByteArray>
#include <QDomDocument>
#include <QObject>
#include <QString>
#include <QStringList>

// Every text an object's error property took, in order, so a test can check
// the whole sequence of one request (a network error, then a parse error).
class ErrorLog : public QObject
{
public:
    template <typename Source>
    explicit ErrorLog(Source *source)
    {
        connect(source, &Source::errorChanged, this, [this, source] { texts << source->error(); });
    }

    QStringList texts;
};

// The message Qt's DOM parser gives for body, as the parsers pass it on.
inline QString domMessage(const QByteArray &body)
{
    QDomDocument document;
    QString message;
    document.setContent(body, false, &message);
    return message;
}

#endif // ERRORLOG_H
