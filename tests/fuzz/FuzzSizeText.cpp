// Size text rule: on any text it gives a number, the same through an
// attribute as on the bare text, and on texts of digits and unit letters
// the number a plain long-hand reading gives.
#include <QByteArray>
#include <QDomDocument>
#include <QDomElement>
#include <QString>

#include <limits>

#include "FuzzTargets.h"
#include "ReadSizeAttribute.h"

namespace {

// Digits and K, M, G in either case; anything else: no reading (false).
bool longHand(const QString &text, qint64 *value)
{
    QString digits;
    for (const QChar c : text) {
        const char letter = c.toLatin1();
        if (letter >= '0' && letter <= '9')
            digits += c;
        else if (letter == 'k' || letter == 'K')
            digits += QLatin1String("000");
        else if (letter == 'm' || letter == 'M')
            digits += QLatin1String("000000");
        else if (letter == 'g' || letter == 'G')
            digits += QLatin1String("000000000");
        else
            return false;
    }
    quint64 number = 0;
    const quint64 limit = quint64(std::numeric_limits<qint64>::max());
    for (const QChar c : qAsConst(digits)) {
        const quint64 digit = quint64(c.unicode() - '0');
        if (number > (limit - digit) / 10) {
            *value = 0; // out of range: not a 64-bit number
            return true;
        }
        number = number * 10 + digit;
    }
    *value = qint64(number);
    return true;
}

} // namespace

int fuzzSizeText(const uint8_t *data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), int(size));
    const qint64 value = sizeFromText(text);

    qint64 expected = 0;
    if (text.size() <= 32 && longHand(text, &expected))
        FUZZ_CHECK(value == expected);

    // Unit letters never make a number negative.
    if (value < 0)
        FUZZ_CHECK(text.trimmed().startsWith(QLatin1Char('-')));

    QDomDocument document;
    QDomElement element = document.createElement(QStringLiteral("download"));
    element.setAttribute(QStringLiteral("size"), text);
    FUZZ_CHECK(readSizeAttribute(element.attributes(), QStringLiteral("size")) == value);
    return 0;
}
