#include "browserdriver.h"

#include "jwinstance.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QJsonDocument>
#include <QNetworkReply>
#include <QThread>
#include <QTimer>

namespace
{
// The key under which WebDriver hands out element references.
const char kElementKey[] = "element-6066-11e4-a52e-4f735466cecf";
} // namespace

bool BrowserDriver::available()
{
    return QFileInfo(chromium()).isExecutable() && QFileInfo(chromedriver()).isExecutable();
}

bool BrowserDriver::start(int width, int height)
{
    port_ = jwtest::freePort();
    driver_.setProgram(chromedriver());
    driver_.setArguments({QStringLiteral("--port=%1").arg(port_)});
    driver_.setStandardOutputFile(QProcess::nullDevice());
    driver_.setStandardErrorFile(QProcess::nullDevice());
    driver_.start();
    if (!driver_.waitForStarted(10000)) {
        error_ = QStringLiteral("chromedriver does not start");
        return false;
    }
    QDeadlineTimer ready(15000);
    while (!call("GET", "/status", {}, 1000).toObject().value("ready").toBool()) {
        if (ready.hasExpired() || driver_.state() != QProcess::Running) {
            error_ = QStringLiteral("chromedriver is not ready: ") + error_;
            return false;
        }
        QThread::msleep(50);
    }
    // A desktop window has a minimum width; the phone's viewport and its touch
    // screen come from the emulation.
    const QJsonObject phone{
        {"width", width}, {"height", height}, {"pixelRatio", 1.0}, {"touch", true}};
    const QJsonObject chrome{
        {"binary", chromium()},
        {"args",
         QJsonArray{"--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                    QStringLiteral("--window-size=%1,%2").arg(width).arg(height)}},
        {"mobileEmulation", QJsonObject{{"deviceMetrics", phone}}},
        // The page speaks the browser's language: English, whatever the machine's.
        {"prefs", QJsonObject{{"intl.accept_languages", "en-US"}}}};
    const QJsonObject caps{
        {"capabilities",
         QJsonObject{{"alwaysMatch",
                      QJsonObject{{"browserName", "chrome"}, {"goog:chromeOptions", chrome}}}}}};
    session_ = call("POST", "/session", caps, 60000).toObject().value("sessionId").toString();
    return !session_.isEmpty();
}

void BrowserDriver::quit()
{
    if (!session_.isEmpty())
        call("DELETE", "/session/" + session_, {}, 10000);
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
    QNetworkRequest request(QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(port_).arg(path)));
    request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json; charset=utf-8");
    const QByteArray bytes =
        verb == "POST" ? QJsonDocument(body).toJson(QJsonDocument::Compact) : QByteArray();
    QNetworkReply* reply = net_.sendCustomRequest(request, verb, bytes);
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    loop.exec();
    QJsonValue value = QJsonValue::Undefined;
    if (!reply->isFinished()) {
        reply->abort();
        error_ = QStringLiteral("%1 %2: no answer within %3 ms").arg(verb, path).arg(timeoutMs);
    } else {
        const QJsonObject answer = QJsonDocument::fromJson(reply->readAll()).object();
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (status == 200 && answer.contains("value")) {
            value = answer.value("value");
        } else {
            const QJsonObject why = answer.value("value").toObject();
            error_ = QStringLiteral("%1 %2: %3 %4 %5")
                         .arg(verb, path)
                         .arg(status ? QString::number(status) : reply->errorString(),
                              why.value("error").toString(), why.value("message").toString());
        }
    }
    reply->deleteLater();
    return value;
}

bool BrowserDriver::navigate(const QString& url)
{
    return !call("POST", "/session/" + session_ + "/url", {{"url", url}}, 30000).isUndefined();
}

QJsonValue BrowserDriver::script(const QString& body, const QJsonArray& args)
{
    return call("POST", "/session/" + session_ + "/execute/sync",
                {{"script", body}, {"args", args}});
}

QString BrowserDriver::element(const QString& css)
{
    return call("POST", "/session/" + session_ + "/element",
                {{"using", "css selector"}, {"value", css}})
        .toObject()
        .value(kElementKey)
        .toString();
}

bool BrowserDriver::click(const QString& css)
{
    const QString id = element(css);
    if (id.isEmpty())
        return false;
    script("arguments[0].scrollIntoView({block: 'center'});", {QJsonObject{{kElementKey, id}}});
    return !call("POST", "/session/" + session_ + "/element/" + id + "/click").isUndefined();
}

bool BrowserDriver::type(const QString& css, const QString& text)
{
    const QString id = element(css);
    const QString at = "/session/" + session_ + "/element/" + id;
    return !id.isEmpty() && !call("POST", at + "/clear").isUndefined() &&
           !call("POST", at + "/value", {{"text", text}}).isUndefined();
}

bool BrowserDriver::setFile(const QString& css, const QString& path)
{
    const QString id = element(css);
    return !id.isEmpty() &&
           !call("POST", "/session/" + session_ + "/element/" + id + "/value", {{"text", path}})
                .isUndefined();
}

QString BrowserDriver::text(const QString& css)
{
    return script("const e = document.querySelector(arguments[0]);"
                  "return e ? e.textContent : '';",
                  {css})
        .toString();
}

QString BrowserDriver::attribute(const QString& css, const QString& name)
{
    return script("const e = document.querySelector(arguments[0]);"
                  "return e ? e.getAttribute(arguments[1]) : null;",
                  {css, name})
        .toString();
}

bool BrowserDriver::visible(const QString& css)
{
    return script("const e = document.querySelector(arguments[0]);"
                  "return !!e && e.getClientRects().length > 0;",
                  {css})
        .toBool();
}

QRectF BrowserDriver::innerBox(const QString& css)
{
    const QJsonObject o = script("const e = document.querySelector(arguments[0]);"
                                 "if (!e) return null;"
                                 "e.scrollIntoView({block: 'center'});"
                                 "const r = e.getBoundingClientRect();"
                                 "return {x: r.left + e.clientLeft, y: r.top + e.clientTop,"
                                 "        w: e.clientWidth, h: e.clientHeight};",
                                 {css})
                              .toObject();
    return QRectF(o.value("x").toDouble(), o.value("y").toDouble(), o.value("w").toDouble(),
                  o.value("h").toDouble());
}

bool BrowserDriver::swipe(const QList<QPoint>& points, int stepMs)
{
    if (points.isEmpty())
        return false;
    auto move = [](QPoint p, int ms) {
        return QJsonObject{{"type", "pointerMove"},
                           {"duration", ms},
                           {"origin", "viewport"},
                           {"x", p.x()},
                           {"y", p.y()}};
    };
    QJsonArray steps{move(points.first(), 0), QJsonObject{{"type", "pointerDown"}, {"button", 0}}};
    for (int i = 1; i < points.size(); ++i)
        steps.append(move(points[i], stepMs));
    steps.append(QJsonObject{{"type", "pointerUp"}, {"button", 0}});
    const QJsonObject finger{{"type", "pointer"},
                             {"id", "finger"},
                             {"parameters", QJsonObject{{"pointerType", "touch"}}},
                             {"actions", steps}};
    const bool ok =
        !call("POST", "/session/" + session_ + "/actions", {{"actions", QJsonArray{finger}}})
             .isUndefined();
    call("DELETE", "/session/" + session_ + "/actions");
    return ok;
}
