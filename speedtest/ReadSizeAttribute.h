#ifndef READSIZEATTRIBUTE_H
#define READSIZEATTRIBUTE_H

#include <QString>
#include <QtGlobal>

class QDomNamedNodeMap;

// Reads a size text ("250K", "10M", "1G", "100"): every K, M and G, in any
// case and wherever it stands, becomes its zeros, and the result is read as
// a decimal 64-bit integer; anything that is then not a whole number gives 0.
qint64 sizeFromText(const QString &text);

// The size text of the named attribute; a missing attribute gives 0.
qint64 readSizeAttribute(const QDomNamedNodeMap &attributes, const QString &name);

#endif // READSIZEATTRIBUTE_H
