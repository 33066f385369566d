#ifndef SELFSIGNEDCERTIFICATE_H
#define SELFSIGNEDCERTIFICATE_H

#include <QSslCertificate>
#include <QSslKey>
#include <QString>

// A throw-away self-signed certificate for 127.0.0.1 and its key, made at
// run time with the openssl command line tool.
class SelfSignedCertificate
{
public:
    SelfSignedCertificate();

    bool isValid() const;
    // Why there is no certificate (for example: openssl is not installed).
    QString errorString() const;
    QSslCertificate certificate() const;
    QSslKey key() const;

private:
    QSslCertificate m_certificate;
    QSslKey m_key;
    QString m_error;
};

#endif // SELFSIGNEDCERTIFICATE_H
