#include "ReadSizeAttribute.h"

#include <QDomNamedNodeMap>
#include <QDomNode>

qint64 readSizeAttribute(const QDomNamedNodeMap &attributes, const QString &name)
{
    QString text = attributes.namedItem(name).nodeValue();
    text.replace(QLatin1Char('K'), QLatin1String("000"), Qt::CaseInsensitive);
    text.replace(QLatin1Char('M'), QLatin1String("000000"), Qt::CaseInsensitive);
    text.replace(QLatin1Char('G'), QLatin1String("000000000"), Qt::CaseInsensitive);
    return text.toLongLong(nullptr, 10);
}
