#pragma once
// A headless Chromium driven through chromedriver's W3C WebDriver HTTP interface,
// synchronously: every call waits for its answer. Elements are named by CSS
// selectors; a call that fails leaves the reason in lastError().

#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QNetworkAccessManager>
#include <QPoint>
#include <QProcess>
#include <QRectF>
#include <QString>

class BrowserDriver
{
public:
    static const char* chromium() { return "/usr/bin/chromium"; }
    static const char* chromedriver() { return "/usr/bin/chromedriver"; }
    static bool available(); // both are installed

    ~BrowserDriver() { quit(); }
    // chromedriver on a free port and one browser session with a phone-sized
    // window (width x height CSS pixels) and English as its language.
    bool start(int width, int height);
    void quit(); // ends the session and chromedriver; safe to call twice

    bool navigate(const QString& url);
    QJsonValue script(const QString& body, const QJsonArray& args = {}); // a function body
    // The element scrolled to the middle of the viewport first, where no fixed
    // bar covers it, as a thumb would have it before tapping.
    bool click(const QString& css);
    bool type(const QString& css, const QString& text);    // clears, then types
    bool setFile(const QString& css, const QString& path); // a file input
    QString text(const QString& css);                      // textContent, "" if absent
    QString attribute(const QString& css, const QString& name);
    bool visible(const QString& css); // present and laid out
    // The element's inner box (inside its border) in viewport pixels, scrolled
    // into the middle of the viewport first; empty when absent.
    QRectF innerBox(const QString& css);
    // One finger touching at the first point, sliding through the others over
    // stepMs each, and lifting.
    bool swipe(const QList<QPoint>& points, int stepMs = 150);

    QString lastError() const { return error_; }

private:
    // Sends one command; the answer's "value", or undefined (and lastError) on failure.
    QJsonValue call(const QByteArray& verb, const QString& path, const QJsonObject& body = {},
                    int timeoutMs = 20000);
    QString element(const QString& css);

    QNetworkAccessManager net_;
    QProcess driver_;
    quint16 port_ = 0;
    QString session_;
    QString error_;
};
