#ifndef STANDINS_H
#define STANDINS_H

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

// Scripts found first on PATH as ping and traceroute while the object lives
// (script empty: none, the real commands); PATH is restored afterwards.
// On Windows, for any script, the stand-in program (StandIn.cpp) as ping
// and tracert.
class StandIns
{
public:
    explicit StandIns(const QByteArray &script) : m_path(qgetenv("PATH"))
    {
#ifdef Q_OS_WIN
        for (const char *name : { "ping.exe", "tracert.exe" })
            m_ok = m_ok
                    && (script.isEmpty()
                        || QFile::copy(QCoreApplication::applicationDirPath() + "/osp_standin.exe",
                                       m_bin.filePath(QLatin1String(name))));
#else
        for (const char *name : { "ping", "traceroute" }) {
            QFile file(m_bin.filePath(QLatin1String(name)));
            m_ok = m_ok
                    && (script.isEmpty()
                        || (file.open(QIODevice::WriteOnly)
                            && file.write("#!/bin/sh\n" + script) > 0
                            && file.setPermissions(QFile::ReadOwner | QFile::ExeOwner)));
        }
#endif
        qputenv("PATH",
                QFile::encodeName(QDir::toNativeSeparators(m_bin.path()))
                        + QDir::listSeparator().toLatin1() + m_path);
    }
    ~StandIns()
    {
        qputenv("PATH", m_path);
    }
    StandIns(const StandIns &) = delete;
    StandIns &operator=(const StandIns &) = delete;
    bool isValid() const
    {
        return m_bin.isValid() && m_ok;
    }

private:
    QTemporaryDir m_bin;
    QByteArray m_path;
    bool m_ok = true;
};

#ifdef Q_OS_WIN
// Whether the stand-in program called name, once held, has ended: it holds
// "<name>.running" open unshared while it runs. (QTRY_VERIFY evaluates its
// expression once more after it held, so this must stay true once true.)
inline bool standInEnded(const QString &name)
{
    return QFile::remove(name + ".running") || !QFile::exists(name + ".running");
}
#endif

#endif // STANDINS_H
