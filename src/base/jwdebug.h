#pragma once
// The control server's chatter (every packet in and out) goes to this category.
// It is on in debug mode, or with QT_LOGGING_RULES="jwshow.debug=true".

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcJwShow)
