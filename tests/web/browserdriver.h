#pragma once
// A headless Chromium driven through chromedriver's W3C WebDriver HTTP interface,
// synchronously: every call waits for its answer (running the thread's events
// meanwhile). Elements are named by CSS selectors; a call that fails leaves the
// reason in lastError().

#include <QJsonArray>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QPoint>
#include <QProcess>
#include <QRectF>

class BrowserDriver
{
public:
    static bool available(); // chromium and chromedriver are installed (/usr/bin)
    ~BrowserDriver() { quit(); }
    // chromedriver on a free port and one browser session with a phone-sized
    // window (width x height CSS pixels, touch) and English as its language.
    bool start(int width, int height);
    void quit(); // ends the session and chromedriver; safe to call twice

    bool navigate(const QString& url);
    QJsonValue script(const QString& body, const QJsonArray& args = {}); // a function body
    // The element's expression `e...`; null when there is no such element.
    QJsonValue on(const QString& css, const QString& expression)
    {
        return script("const e = document.querySelector(arguments[0]); return e ? " + expression +
                          " : null;",
                      {css});
    }
    QString text(const QString& css) { return on(css, "e.textContent").toString(); }
    QString attribute(const QString& css, const QString& name)
    {
        return on(css, "e.getAttribute('" + name + "')").toString();
    }
    QString state(const QString& css = "#status") { return attribute(css, "data-state"); }
    bool visible(const QString& css) { return on(css, "e.getClientRects().length > 0").toBool(); }
    // Clicked in the middle of the viewport, where no fixed bar covers it, as a
    // thumb would have it.
    bool click(const QString& css);
    bool type(const QString& css, const QString& text, bool clear = true);
    bool setFile(const QString& css, const QString& path) { return type(css, path, false); }
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
    QString element(const QString& css); // scrolled into the middle of the viewport

    QNetworkAccessManager net_;
    QProcess driver_;
    QString base_, session_, error_; // base_: chromedriver's address
};
