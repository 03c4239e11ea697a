#include "app/translations.h"

#include <QCoreApplication>
#include <QLocale>
#include <QTranslator>

bool InstallTranslations(const QLocale& locale, QTranslator& translator)
{
    // The translations live in a static library: registered only when referred to.
    Q_INIT_RESOURCE(i18n);
    if (locale.language() != QLocale::English)
        return false;
    if (!translator.load(QStringLiteral(":/i18n/jwshow_en.qm")))
        return false;
    return QCoreApplication::installTranslator(&translator);
}
