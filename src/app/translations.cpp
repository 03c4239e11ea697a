#include "app/translations.h"

#include <QCoreApplication>
#include <QLocale>
#include <QStringList>
#include <QTranslator>

bool InstallTranslations(const QLocale& locale, QTranslator& translator)
{
    // The translations live in a static library: registered only when referred to.
    Q_INIT_RESOURCE(i18n);
    // The language the user reads messages in (LANGUAGE, else LC_ALL, LC_MESSAGES,
    // LANG), not the one numbers are written in.
    const QStringList languages = locale.uiLanguages();
    if (languages.isEmpty() || QLocale(languages.first()).language() != QLocale::English)
        return false;
    if (!translator.load(QStringLiteral(":/i18n/jwshow_en.qm")))
        return false;
    return QCoreApplication::installTranslator(&translator);
}
