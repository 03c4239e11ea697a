#pragma once
// The queued message and the reply record.

#include <QMetaType>
#include <QString>
#include <QtGlobal>

// A connection as the rest of the program sees it: a number the socket server
// hands out at accept and never reuses, so a late reply or close can never reach
// a newer connection that happens to get the same descriptor. 0 means none.
using SOCKET = quint32;

struct JwMess {
    QString data; // one received packet (or, in the picture queue, empty)
    SOCKET sock = 0;
    QString url; // empty from the socket server; the picture queue's address
};

struct JWData {
    QString id, from, to, type, token, ret, desc, url, name, version, ip, act, time, rc_port, pwd,
        value, width, height;
};

Q_DECLARE_METATYPE(JwMess)
