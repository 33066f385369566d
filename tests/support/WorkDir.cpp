#include "WorkDir.h"

#include <QDir>
#include <QFile>

WorkDir::WorkDir()
    : m_previous(QDir::currentPath())
{
    if (m_dir.isValid())
        QDir::setCurrent(m_dir.path());
}

WorkDir::~WorkDir()
{
    QDir::setCurrent(m_previous);
}

bool WorkDir::isValid() const
{
    return m_dir.isValid() && QDir::currentPath() == QDir(m_dir.path()).canonicalPath();
}

QString WorkDir::path() const
{
    return m_dir.path();
}

QString WorkDir::filePath(const QString &name) const
{
    return m_dir.filePath(name);
}

QByteArray WorkDir::read(const QString &name) const
{
    QFile file(filePath(name));
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

bool WorkDir::write(const QString &name, const QByteArray &bytes) const
{
    QFile file(filePath(name));
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}
