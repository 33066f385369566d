#ifndef SERVICECONNECTION_H
#define SERVICECONNECTION_H

#include <QByteArray>
#include <QList>
#include <QObject>

#include "ServiceTypes.h"

class PacedWriter;
class QTcpSocket;
class SpeedTestService;

// One accepted connection of the local speed-test service. The first bytes
// decide its kind: "DOWNLOAD " starts the raw download protocol, anything
// else is read as one HTTP request, answered, and the connection closed.
// Test support.
class ServiceConnection : public QObject
{
    Q_OBJECT

public:
    ServiceConnection(QTcpSocket *socket, int server, SpeedTestService *service, QObject *parent);
    ~ServiceConnection() override;

signals:
    void closed();

private:
    enum class Mode { Undecided, Http, Download, Answered, Silent };

    void onReadyRead();
    void readHttp();
    void answerHttp(const RecordedRequest &request);
    void readDownload();
    void runDownloads();
    void fail(int status);

    QTcpSocket *m_socket;
    int m_server;
    SpeedTestService *m_service;
    PacedWriter *m_writer;
    Mode m_mode;
    QByteArray m_input;
    QList<QByteArray> m_commands;
    bool m_closed;
};

#endif // SERVICECONNECTION_H
