#include "ReadSizeAttribute.h"

#include <QDomNamedNodeMap>
#include <QDomNode>

qint64 sizeFromText(const QString &text)
{
    QString digits = text;
    digits.replace(QLatin1Char('K'), QLatin1String("000"), Qt::CaseInsensitive);
    digits.replace(QLatin1Char('M'), QLatin1String("000000"), Qt::CaseInsensitive);
    digits.replace(QLatin1Char('G'), QLatin1String("000000000"), Qt::CaseInsensitive);
    return digits.toLongLong(nullptr, 10);
}

qint64 readSizeAttribute(const QDomNamedNodeMap &attributes, const QString &name)
{
    return sizeFromText(attributes.namedItem(name).nodeValue());
}
