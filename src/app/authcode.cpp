#include "app/authcode.h"

#include <QRandomGenerator>

QString MakeAuthCode()
{
    const quint32 r = QRandomGenerator::system()->generate();
    return QString::number(600000u + r % 399999u);
}
