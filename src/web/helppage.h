#pragma once
// The program's help page (/help on the web port): how a phone connects, which
// ports to allow, what each tab of the page does. Chinese or English after the
// browser's languages; no login, and nothing in it that pairs a phone.

#include <QByteArray>

namespace web
{

struct HelpFacts {
    int port = 0;          // the service port (the phone app)
    int companionPort = 0; // the companion's
    int webPort = 0;       // the browser remote's
};

// "zh" or "en": the first of the two the Accept-Language header prefers (by its
// weights, then its order); English when it names neither.
QByteArray HelpLanguage(const QByteArray& acceptLanguage);
// The page in that language with the facts filled in; empty when the language has
// no page.
QByteArray HelpPage(const QByteArray& language, const HelpFacts& facts);

} // namespace web
