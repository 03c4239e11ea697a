#include "base/authcode.h"

#include <QRandomGenerator>

QString MakeAuthCode()
{
    // 600000 to 999998, as the codes have always been, without modulo bias.
    return QString::number(600000u + QRandomGenerator::system()->bounded(399999u));
}
