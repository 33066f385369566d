#pragma once

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>

// Scripts found first on PATH as ping and traceroute while the object lives
// (script empty: none, the real commands); PATH is restored afterwards. A
// stand-in that cannot be made shows as a report that does not match.
// On Windows, for any script, the stand-in program (StandIn.cpp) as ping
// and tracert.
class StandIns : public QTemporaryDir
{
public:
    StandIns(const QByteArray &script) : m_path(qgetenv("PATH"))
    {
#ifdef Q_OS_WIN
        for (const char *name : { "/ping.exe", "/tracert.exe" })
            if (!script.isEmpty())
                QFile::copy(QCoreApplication::applicationDirPath() + "/osp_standin.exe",
                            path() + name);
#else
        for (const char *name : { "/ping", "/traceroute" }) {
            QFile file(path() + name);
            if (!script.isEmpty() && file.open(QIODevice::WriteOnly))
                file.write("#!/bin/sh\n" + script),
                        file.setPermissions(QFile::ReadOwner | QFile::ExeOwner);
        }
#endif
        qputenv("PATH",
                QFile::encodeName(QDir::toNativeSeparators(path()) + QDir::listSeparator())
                        + m_path);
    }
    ~StandIns()
    {
        qputenv("PATH", m_path);
    }

private:
    QByteArray m_path;
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
