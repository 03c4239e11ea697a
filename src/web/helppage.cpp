#include "web/helppage.h"

#include "base/appinfo.h"

#include <QFile>
#include <QList>

namespace web
{

QByteArray HelpLanguage(const QByteArray& acceptLanguage)
{
    QByteArray best = "en";
    double bestWeight = 0;
    for (const QByteArray& item : acceptLanguage.split(',')) {
        const QList<QByteArray> parts = item.split(';');
        const QByteArray primary = parts.first().trimmed().toLower().split('-').first();
        if (primary != "zh" && primary != "en")
            continue;
        double weight = 1;
        for (const QByteArray& p : parts.mid(1)) {
            const QByteArray param = p.trimmed();
            if (param.startsWith("q=")) {
                bool ok = false;
                weight = param.mid(2).toDouble(&ok);
                if (!ok)
                    weight = 0;
            }
        }
        if (weight > bestWeight) {
            best = primary;
            bestWeight = weight;
        }
    }
    return best;
}

QByteArray HelpPage(const QByteArray& language, const HelpFacts& facts)
{
    // Read once: a help page asked for again and again costs its filling only.
    static const QByteArray kZh = [] {
        QFile f(QStringLiteral(":/webhelp/help.zh.html"));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }();
    static const QByteArray kEn = [] {
        QFile f(QStringLiteral(":/webhelp/help.en.html"));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }();
    QByteArray page = language == "zh" ? kZh : language == "en" ? kEn : QByteArray();
    if (page.isEmpty())
        return page;
    const auto number = [](int n) { return n > 0 ? QByteArray::number(n) : QByteArray("—"); };
    page.replace("{{APP}}", jw::kProductName);
    page.replace("{{PORT}}", number(facts.port));
    page.replace("{{RCPORT}}", number(facts.companionPort));
    page.replace("{{WEBPORT}}", number(facts.webPort));
    return page;
}

} // namespace web
