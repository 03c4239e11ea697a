#pragma once
// The windows speak English where the user's language is English, Chinese
// everywhere else (the texts are written in Chinese). Window titles stay as they
// are: they identify the windows.

class QLocale;
class QTranslator;

// Loads the translation for the locale's language into the application; false
// (nothing installed) when there is none. translator must outlive its use.
bool InstallTranslations(const QLocale& locale, QTranslator& translator);
