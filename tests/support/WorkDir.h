#ifndef WORKDIR_H
#define WORKDIR_H

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

// A fresh temporary directory made the working directory for the lifetime
// of the object; the previous working directory is restored afterwards.
class WorkDir
{
public:
    WorkDir();
    ~WorkDir();
    WorkDir(const WorkDir &) = delete;
    WorkDir &operator=(const WorkDir &) = delete;

    bool isValid() const;
    QString path() const;
    QString filePath(const QString &name) const;

    QByteArray read(const QString &name) const;
    bool write(const QString &name, const QByteArray &bytes) const;

private:
    QTemporaryDir m_dir;
    QString m_previous;
};

#endif // WORKDIR_H
