#pragma once
// Reading the numeric fields of a packet. Controllers are not trusted: a number
// far out of range, NaN, or text where a number belongs must give a defined value
// (never undefined behaviour from a double-to-int conversion or an overflow).

#include <QJsonValue>
#include <QString>
#include <QtGlobal>
#include <climits>
#include <cmath>

namespace packetfields
{

// A JSON number cut toward zero and held in the int range; NaN and every other
// JSON type give 0.
inline int truncToInt(double v)
{
    if (std::isnan(v))
        return 0;
    if (v >= double(INT_MAX))
        return INT_MAX;
    if (v <= double(INT_MIN))
        return INT_MIN;
    return int(std::trunc(v));
}

inline int numberField(const QJsonValue& v)
{
    return v.isDouble() ? truncToInt(v.toDouble()) : 0;
}

// A decimal integer carried as text. Anything that is not one, or that does not
// fit, gives 0.
inline qint64 decimal64(const QString& s)
{
    bool ok = false;
    const qint64 n = s.toLongLong(&ok, 10);
    return ok ? n : 0;
}

inline int decimal(const QString& s)
{
    bool ok = false;
    const int n = s.toInt(&ok, 10);
    return ok ? n : 0;
}

// A string member; a missing member or one of another type reads as empty.
inline QString stringField(const QJsonValue& v)
{
    return v.isString() ? v.toString() : QString();
}

} // namespace packetfields
