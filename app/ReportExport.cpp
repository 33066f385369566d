#include "ReportExport.h"

#include <QDebug>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QUrl>

#if defined(OSP_HAVE_DBUS)
#  include <QDBusConnection>
#  include <QDBusMessage>
#  include <QDBusPendingCallWatcher>
#  include <QDBusPendingReply>
#endif

namespace ReportExport {

const char FileManagerService[] = "org.freedesktop.FileManager1";
const char FileManagerPath[] = "/org/freedesktop/FileManager1";
const char FileManagerInterface[] = "org.freedesktop.FileManager1";

#ifdef Q_OS_WIN
QString explorerArguments(const QString &absolutePath)
{
    QString path = QDir::toNativeSeparators(absolutePath);
    // Explorer splits its arguments at blanks and commas.
    if (path.contains(QLatin1Char(' ')) || path.contains(QLatin1Char(',')))
        path = QLatin1Char('"') + path + QLatin1Char('"');
    return QStringLiteral("/select, %1").arg(path);
}
#else
namespace {

void openContainingFolder(const QString &absolutePath)
{
    const QString folder = QFileInfo(absolutePath).absolutePath();
    qDebug().noquote() << "open folder:" << folder;
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(folder)))
        qWarning().noquote() << "no handler opened" << folder;
}

} // namespace
#endif

void reveal(const QString &absolutePath, QObject *owner)
{
#if defined(Q_OS_WIN)
    auto *process = new QProcess(owner);
    const QString arguments = explorerArguments(absolutePath);
    qDebug().noquote() << "explorer.exe" << arguments;
    process->setProgram(QStringLiteral("explorer.exe"));
    // Explorer reads its command line itself: it gets the text as it stands.
    process->setNativeArguments(arguments);
    process->start(QIODevice::ReadWrite);
#elif defined(OSP_HAVE_DBUS)
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        openContainingFolder(absolutePath);
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
            QLatin1String(FileManagerService), QLatin1String(FileManagerPath),
            QLatin1String(FileManagerInterface), QStringLiteral("ShowItems"));
    call << QStringList{ QUrl::fromLocalFile(absolutePath).toString() } << QString();
    qDebug().noquote() << "ShowItems" << QUrl::fromLocalFile(absolutePath).toString();
    // Desktops such as GNOME have the bus start their file manager on demand.
    // Where no such service is installed the bus answers at once that the
    // name is unknown, so the folder fallback follows without a time-out.
    call.setAutoStartService(true);
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), owner);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher,
                     [absolutePath](QDBusPendingCallWatcher *self) {
                         const QDBusPendingReply<> reply = *self;
                         if (reply.isError()) {
                             qDebug().noquote() << "file manager:" << reply.error().message();
                             openContainingFolder(absolutePath);
                         }
                         self->deleteLater();
                     });
#else
    Q_UNUSED(owner);
    openContainingFolder(absolutePath);
#endif
}

} // namespace ReportExport
