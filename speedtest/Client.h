#ifndef CLIENT_H
#define CLIENT_H

#include <QObject>
#include <QString>
#include <QVariantMap>

#include "ConfigClient.h"
#include "ConfigDocument.h"
#include "ConfigDownload.h"
#include "ConfigLatency.h"

class ClientPrivate;
class QNetworkReply;

// Fetches the service's configuration document and keeps what the speed
// test needs of it: typed records of four elements and the whole document
// as a map of maps.
class Client : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString configsUrl READ configsUrl WRITE setConfigsUrl NOTIFY configsUrlChanged)
    Q_PROPERTY(QString userAgent READ userAgent WRITE setUserAgent NOTIFY userAgentChanged)
    Q_PROPERTY(QVariantMap configs READ configs NOTIFY configsChanged)
    Q_PROPERTY(QString error READ error NOTIFY errorChanged)

public:
    explicit Client(QObject *parent = nullptr);
    ~Client() override;

    QString configsUrl() const;
    void setConfigsUrl(const QString &configsUrl);
    QString userAgent() const;
    void setUserAgent(const QString &userAgent);
    QVariantMap configs() const;
    QString error() const;

    ConfigClient configClient() const;
    ConfigDownload configDownload() const;
    ConfigLatency configLatency() const;

    // Reads one configuration document; fetch() uses it on every body.
    static ConfigDocument parseConfigDocument(const QByteArray &body);

signals:
    void configsUrlChanged();
    void userAgentChanged();
    void errorChanged();
    void configsChanged();

public slots:
    void fetch();

private:
    void setError(const QString &error);
    void parseConfigs(QNetworkReply *reply);

    ClientPrivate *d;
};

#endif // CLIENT_H
