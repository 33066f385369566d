#pragma once

#include <QDir>
#include <QTemporaryDir>

// A fresh temporary folder made the working directory while the object
// lives; the previous one is restored afterwards. Names are relative to it,
// or absolute.
class WorkDir : public QTemporaryDir
{
public:
    WorkDir() : m_previous(QDir::currentPath()) { QDir::setCurrent(path()); }
    ~WorkDir() { QDir::setCurrent(m_previous); }

    static QByteArray read(const QString &name)
    {
        QFile file(name);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    // modified, when valid, becomes the file's modification time.
    static bool write(const QString &name, const QByteArray &bytes,
                      const QDateTime &modified = QDateTime())
    {
        QFile file(name);
        return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.flush()
                && (!modified.isValid()
                    || file.setFileTime(modified, QFileDevice::FileModificationTime));
    }

private:
    QString m_previous;
};
