#ifndef REPORTLOG_H
#define REPORTLOG_H

#include <QString>

namespace ReportLog {

// Marker lines the window writes between the stages of a run.
extern const char SeparatorLine[];
extern const char FinishMarker[];
extern const char CancelMarker[];

// The report's path relative to the working directory.
extern const char DefaultPath[];

// Appends text to the file at path in the local 8-bit encoding, opening and
// closing the file per call so that nothing is buffered between writers.
// A failure loses the text (the report must not receive anything else);
// it is noted on the debug stream and reported by the return value.
bool appendLog(const QString &path, const QString &text);

// Appends that failed since the process started, of every writer: a run
// during which the count rose has an incomplete report.
int failedAppends();

} // namespace ReportLog

#endif // REPORTLOG_H
