#ifndef REPORTEXPORT_H
#define REPORTEXPORT_H

#include <QObject>
#include <QString>

// Shows the report file to the user in the platform's file manager.
namespace ReportExport {

#ifdef Q_OS_WIN
// The arguments of Windows Explorer that select the file at absolutePath. A
// path with blanks is quoted so that Explorer's blank-splitting keeps it
// whole.
QString explorerArguments(const QString &absolutePath);
#endif

// Reveals absolutePath without blocking. On Windows through Explorer (the
// QProcess is a child of owner); elsewhere through the desktop's
// org.freedesktop.FileManager1 service, which the bus starts if it is not
// running, or, where the desktop has none, by opening the folder that holds
// the file with the desktop's default handler.
void reveal(const QString &absolutePath, QObject *owner);

// The D-Bus name, path and interface of the file manager service.
extern const char FileManagerService[];
extern const char FileManagerPath[];
extern const char FileManagerInterface[];

} // namespace ReportExport

#endif // REPORTEXPORT_H
