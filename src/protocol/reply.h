#pragma once
// Every packet the program writes to a controller, apart from the greeting, is
// built here from a reply record.

#include "protocol/jwmess.h"

#include <QString>

// The compact JSON text of a reply: id, from, to and type always; ret and desc
// except on video reports; the login's version, name, rc_port and token; a video
// report's act with its value or time; a page report's act and value. Keys come
// out in ascending order.
QString BuildReply(const JWData& d);

// The greeting a new connection gets: "jwshow-<version>-<host name>".
QByteArray Greeting(const QString& hostName);
