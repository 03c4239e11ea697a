#pragma once
// The control server's chatter (every packet in and out) goes to this category so
// that it can be silenced with QT_LOGGING_RULES="jwshow.debug=false".

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcJwShow)
