#include "browserdriver.h"

#include "jwinstance.h"

#include <QEventLoop>
#include <QFileInfo>
#include <QNetworkReply>
#include <QTest>
#include <QTimer>

namespace
{
const char kChromium[] = "/usr/bin/chromium", kChromedriver[] = "/usr/bin/chromedriver";
const char kElementKey[] = "element-6066-11e4-a52e-4f735466cecf"; // WebDriver's references
} // namespace

bool BrowserDriver::available()
{
    return QFileInfo(kChromium).isExecutable() && QFileInfo(kChromedriver).isExecutable();
}

bool BrowserDriver::start(int width, int height)
{
    const quint16 port = jwtest::freePort();
    base_ = QStringLiteral("http://127.0.0.1:%1").arg(port);
    driver_.setStandardOutputFile(QProcess::nullDevice());
    driver_.setStandardErrorFile(QProcess::nullDevice());
    driver_.start(kChromedriver, {QStringLiteral("--port=%1").arg(port)});
    const auto ready = [this] {
        return call("GET", "/status", {}, 1000).toObject().value("ready").toBool();
    };
    if (!QTest::qWaitFor(ready, 15000))
        return error_ = "chromedriver is not ready: " + error_, false;
    // A desktop window has a minimum width; the phone's viewport and its touch
    // screen come from the emulation. The page speaks the browser's language:
    // English, whatever the machine's.
    const QJsonObject phone{
        {"width", width}, {"height", height}, {"pixelRatio", 1.0}, {"touch", true}};
    const QJsonObject chrome{
        {"binary", kChromium},
        {"args",
         QJsonArray{"--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                    QStringLiteral("--window-size=%1,%2").arg(width).arg(height)}},
        {"mobileEmulation", QJsonObject{{"deviceMetrics", phone}}},
        {"prefs", QJsonObject{{"intl.accept_languages", "en-US"}}}};
    const QJsonObject caps{
        {"alwaysMatch", QJsonObject{{"browserName", "chrome"}, {"goog:chromeOptions", chrome}}}};
    const QJsonValue session = call("POST", "/session", {{"capabilities", caps}}, 60000);
    session_ = "/session/" + session.toObject().value("sessionId").toString();
    return !session.isUndefined();
}

void BrowserDriver::quit()
{
    if (!session_.isEmpty())
        call("DELETE", session_, {}, 10000);
    session_.clear();
    if (driver_.state() != QProcess::NotRunning) {
        driver_.terminate();
        if (!driver_.waitForFinished(5000))
            driver_.kill(), driver_.waitForFinished(3000);
    }
}

QJsonValue BrowserDriver::call(const QByteArray& verb, const QString& path, const QJsonObject& body,
                               int timeoutMs)
{
    QNetworkRequest request(QUrl(base_ + path));
    request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json; charset=utf-8");
    const QByteArray bytes = verb == "POST" ? QJsonDocument(body).toJson() : QByteArray();
    QNetworkReply* reply = net_.sendCustomRequest(request, verb, bytes);
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    loop.exec();
    const QJsonObject answer = QJsonDocument::fromJson(reply->readAll()).object();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    QJsonValue value = answer.value("value");
    if (!reply->isFinished() || status != 200 || value.isUndefined()) {
        const QJsonObject why = value.toObject();
        error_ = QStringLiteral("%1 %2: %3 %4 %5")
                     .arg(verb, path, reply->isFinished() ? reply->errorString() : "no answer",
                          why.value("error").toString(), why.value("message").toString());
        value = QJsonValue::Undefined;
    }
    reply->abort();
    reply->deleteLater();
    return value;
}

bool BrowserDriver::navigate(const QString& url)
{
    return !call("POST", session_ + "/url", {{"url", url}}, 30000).isUndefined();
}

QJsonValue BrowserDriver::script(const QString& body, const QJsonArray& args)
{
    return call("POST", session_ + "/execute/sync", {{"script", body}, {"args", args}});
}

QString BrowserDriver::element(const QString& css)
{
    const QString id =
        call("POST", session_ + "/element", {{"using", "css selector"}, {"value", css}})
            .toObject()
            .value(kElementKey)
            .toString();
    if (!id.isEmpty())
        script("arguments[0].scrollIntoView({block: 'center'});", {QJsonObject{{kElementKey, id}}});
    return id.isEmpty() ? id : session_ + "/element/" + id;
}

bool BrowserDriver::click(const QString& css)
{
    const QString at = element(css);
    return !at.isEmpty() && !call("POST", at + "/click").isUndefined();
}

bool BrowserDriver::type(const QString& css, const QString& text, bool clear)
{
    const QString at = element(css);
    return !at.isEmpty() && (!clear || !call("POST", at + "/clear").isUndefined()) &&
           !call("POST", at + "/value", {{"text", text}}).isUndefined();
}

QRectF BrowserDriver::innerBox(const QString& css)
{
    const QJsonObject o = on(css, "(e.scrollIntoView({block: 'center'}), {"
                                  "x: e.getBoundingClientRect().left + e.clientLeft,"
                                  "y: e.getBoundingClientRect().top + e.clientTop,"
                                  "w: e.clientWidth, h: e.clientHeight})")
                              .toObject();
    return QRectF(o["x"].toDouble(), o["y"].toDouble(), o["w"].toDouble(), o["h"].toDouble());
}

bool BrowserDriver::swipe(const QList<QPoint>& points, int stepMs)
{
    auto move = [](QPoint p, int ms) {
        return QJsonObject{{"type", "pointerMove"}, {"duration", ms}, {"x", p.x()}, {"y", p.y()}};
    };
    QJsonArray steps{move(points.value(0), 0), QJsonObject{{"type", "pointerDown"}, {"button", 0}}};
    for (int i = 1; i < points.size(); ++i)
        steps.append(move(points[i], stepMs));
    steps.append(QJsonObject{{"type", "pointerUp"}, {"button", 0}});
    const QJsonObject finger{{"type", "pointer"},
                             {"id", "finger"},
                             {"parameters", QJsonObject{{"pointerType", "touch"}}},
                             {"actions", steps}};
    const bool ok =
        !call("POST", session_ + "/actions", {{"actions", QJsonArray{finger}}}).isUndefined();
    call("DELETE", session_ + "/actions");
    return ok;
}
