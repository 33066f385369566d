#include "SelfSignedCertificate.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

SelfSignedCertificate::SelfSignedCertificate()
{
    QTemporaryDir dir;
    if (!dir.isValid()) {
        m_error = QStringLiteral("no temporary folder for the test certificate");
        return;
    }
    const QString keyPath = dir.filePath(QStringLiteral("key.pem"));
    const QString certificatePath = dir.filePath(QStringLiteral("cert.pem"));

    QProcess openssl;
    openssl.setProcessChannelMode(QProcess::MergedChannels);
    openssl.start(QStringLiteral("openssl"),
                  {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
                   QStringLiteral("rsa:2048"), QStringLiteral("-nodes"), QStringLiteral("-keyout"), keyPath,
                   QStringLiteral("-out"), certificatePath, QStringLiteral("-days"), QStringLiteral("2"),
                   QStringLiteral("-subj"), QStringLiteral("/CN=127.0.0.1")});
    if (!openssl.waitForStarted(10000)) {
        m_error = QStringLiteral("the openssl command line tool is needed to make the test certificate "
                                 "(apt-get install openssl): ")
                  + openssl.errorString();
        return;
    }
    if (!openssl.waitForFinished(60000) || openssl.exitStatus() != QProcess::NormalExit
        || openssl.exitCode() != 0) {
        m_error = QStringLiteral("openssl could not make the test certificate: ")
                  + QString::fromLocal8Bit(openssl.readAll());
        return;
    }

    QFile certificateFile(certificatePath);
    QFile keyFile(keyPath);
    if (!certificateFile.open(QIODevice::ReadOnly) || !keyFile.open(QIODevice::ReadOnly)) {
        m_error = QStringLiteral("openssl left no certificate or key");
        return;
    }
    m_certificate = QSslCertificate(certificateFile.readAll(), QSsl::Pem);
    m_key = QSslKey(keyFile.readAll(), QSsl::Rsa, QSsl::Pem);
    if (m_certificate.isNull() || m_key.isNull())
        m_error = QStringLiteral("openssl made a certificate or key that Qt cannot read");
}

bool SelfSignedCertificate::isValid() const
{
    return m_error.isEmpty();
}

QString SelfSignedCertificate::errorString() const
{
    return m_error;
}

QSslCertificate SelfSignedCertificate::certificate() const
{
    return m_certificate;
}

QSslKey SelfSignedCertificate::key() const
{
    return m_key;
}
