// The whiteboard's scene offscreen: shapes and their pixels, pens, histories (no item
// outlives its owner, no reference its item) and the shared ink budget.

#include "jwpaint/graphicssceen.h"
#include "jwpaint/shapes.h"

#include <QGraphicsSceneMouseEvent>
#include <QGraphicsView>
#include <QPainter>
#include <QtTest>

#include <climits>
#include <functional>
#include <map>

using Points = QList<QPointF>;
using cmd::Shape;
Q_DECLARE_METATYPE(cmd::Shape)

class TestScene : public QObject
{
    Q_OBJECT
    static QGraphicsItem* itemOf(ShapeBase* s) { return dynamic_cast<QGraphicsItem*>(s); }

    // What a shape's geometry is: line ends, rectangle corner and size, or the vertices.
    static Points geometry(ShapeBase* s)
    {
        if (auto* l = dynamic_cast<StringLine*>(s))
            return {l->line().p1(), l->line().p2()};
        if (auto* r = dynamic_cast<QGraphicsRectItem*>(itemOf(s)))
            return {r->rect().topLeft(), {r->rect().width(), r->rect().height()}};
        Points at;
        if (auto* c = dynamic_cast<Curves*>(s)) {
            const QPainterPath p = c->wholePath();
            for (int i = 0; i < p.elementCount(); ++i)
                at << p.elementAt(i);
        }
        return at;
    }

private slots:
    // A width out of range becomes the default or the largest (billions make the stroker
    // work for minutes); colours are clamped, an invalid one ignored.
    void pens()
    {
        GraphicsSceen scene(nullptr);
        for (const QPoint& w : {QPoint(0, 2), QPoint(INT_MIN, 2), QPoint(2000000000, 4096)}) {
            scene.setPenWidth(w.x());
            QCOMPARE(scene.drawPenWidth(), w.y());
        }
        scene.setPenWidth(9);
        scene.setColor(INT_MAX, -20, 128);
        scene.setColor(QColor());
        for (Shape shape : {Shape::Line, Shape::Ellipse, Shape::Rect, Shape::Curve}) {
            scene.setShape(shape);
            scene.startDraw({1, 1});
            scene.endDraw();
            QCOMPARE(scene.strokeItem()->penWidth(), 9);
            QCOMPARE(scene.strokeItem()->color(), QColor(255, 0, 128));
        }
        scene.startText({5, 6});
        QCOMPARE(scene.openText()->color(), QColor(255, 0, 128));
    }

    // s start, d point, e end, t text, w set text, x end text, u undo, r redo, c clear,
    // P/M/R mouse press/move/release; new strokes are labelled a, b, c..., texts A, B, C...
    void history_data()
    {
        QTest::addColumn<QString>("script");
        // Labels top-down | undone | text open | current stroke's elements (-1: none) |
        // texts alive.
        QTest::addColumn<QString>("after");
        auto row = [](const char* name, const QString& script, const QString& after) {
            QTest::newRow(name) << script << after;
        };
        row("text above strokes, redo on top", "sdetsdeuur", "ba|1|1|2|1");
        row("new stroke drops redo", "sdeusder", "b|0|0|2|0");
        row("nothing to undo or redo", "urd", "|0|0|-1|0");
        row("clear forgets all", "sdetuccw", "|0|0|-1|0");
        row("undone text dropped by a stroke", "tusdew", "a|0|0|2|0");
        row("undone running stroke cleared", "sducd", "|0|0|-1|0");
        row("undone stroke grows off board", "sduddre", "a|0|0|4|0");
        row("second start ignored", "sdsde", "a|0|0|3|0");
        row("points outside a stroke", "dsded", "a|0|0|2|0");
        row("text ended", "txw", "A|0|0|-1|1");
        row("mouse and controller share", "PsdMRd", "a|0|0|3|0");
        row("thousands, each start drops", QString("sdeu").repeated(2000), "|1|0|2|0");
        row("undo and redo past either end", "sdesdesdeuuuurrrr", "cba|0|0|2|0");
    }
    void history()
    {
        QFETCH(QString, script);
        GraphicsSceen scene(nullptr);
        int strokes = 0, step = 0;
        QList<QPointer<QGraphicsTextItem>> texts;
        auto mouse = [&scene](QEvent::Type type, QPointF at) {
            QGraphicsSceneMouseEvent event(type);
            event.setScenePos(at);
            event.setButton(Qt::LeftButton);
            QCoreApplication::sendEvent(&scene, &event);
        };
        for (QChar c : script) {
            const QPointF at(10 + 7 * step, 20 + 3 * step);
            ++step;
            ShapeBase* was = scene.strokeItem();
            const std::map<char, std::function<void()>> command{
                {'s', [&] { scene.startDraw(at); }},
                {'d', [&] { scene.drawing(at); }},
                {'e', [&] { scene.endDraw(); }},
                {'t', [&] { scene.startText(at); }},
                {'w', [&] { scene.setText("w"); }},
                {'x', [&] { scene.endText(); }},
                {'u', [&] { scene.undo(); }},
                {'r', [&] { scene.redraw(); }},
                {'c', [&] { scene.clearBoard(); }},
                {'P', [&] { mouse(QEvent::GraphicsSceneMousePress, at); }},
                {'M', [&] { mouse(QEvent::GraphicsSceneMouseMove, at); }},
                {'R', [&] { mouse(QEvent::GraphicsSceneMouseRelease, at); }}};
            command.at(c.toLatin1())();
            if (scene.strokeItem() && scene.strokeItem() != was)
                itemOf(scene.strokeItem())->setData(0, QString(QChar('a' + strokes++ % 26)));
            if (c == 't') {
                scene.openText()->setData(0, QString(QChar('A' + texts.size() % 26)));
                texts << scene.openText();
            }
        }
        QString labels; // topmost first
        for (QGraphicsItem* item : scene.items(Qt::DescendingOrder))
            labels += item->data(0).toString();
        auto* curve = dynamic_cast<Curves*>(scene.strokeItem());
        const int elements = curve ? curve->wholePath().elementCount() : -1;
        QTEST(labels + QString::asprintf("|%d|%d|%d|%d", scene.undoneCount(),
                                         scene.openText() != nullptr, elements,
                                         int(texts.size() - texts.count(nullptr))),
              "after");
    }

    // How each shape grows; its pixels rendered and in a view, again after a new pen, an
    // undo and a redo (a stroke keeps its pen, also in a curve's runs cached as images).
    void strokes_data()
    {
        QTest::addColumn<Shape>("shape");
        QTest::addColumn<int>("width");
        QTest::addColumn<Points>("stroke");
        QTest::addColumn<Points>("geometry"); // empty: not looked at
        QTest::addColumn<Points>("inked");
        QTest::addColumn<Points>("clean");
        auto grows = [](const char* name, Shape shape, const Points& stroke,
                        const Points& geometry) {
            QTest::newRow(name) << shape << 2 << stroke << geometry << Points{} << Points{};
        };
        auto inks = [](const char* name, Shape shape, int width, const Points& stroke,
                       const Points& inked, const Points& clean) {
            QTest::newRow(name) << shape << width << stroke << Points{} << inked << clean;
        };
        grows("line keeps its start", Shape::Line, {{100, 100}, {150, 120}, {200, 300}},
              {{100, 100}, {200, 300}});
        grows("rect down-right", Shape::Rect, {{100, 200}, {150, 260}}, {{100, 200}, {50, 60}});
        grows("rect up-right", Shape::Rect, {{100, 200}, {160, 150}}, {{100, 150}, {60, 50}});
        grows("rect int extremes", Shape::Rect, {{INT_MAX, INT_MIN}, {INT_MIN, INT_MAX}},
              {{INT_MIN, INT_MIN}, {4294967295.0, 4294967295.0}});
        Points zigzag{QPointF(200, 200)};
        for (int i = 1; i < 5000; ++i)
            zigzag << QPointF(i % 300 * 3, i / 300 * 7 - (i % 2) * 1e6);
        grows("curve of 5000 points", Shape::Curve, zigzag, zigzag);
        inks("curve", Shape::Curve, 4, {{20, 20}, {100, 20}, {100, 80}},
             {{20, 20}, {60, 20}, {100, 50}, {100, 80}}, {{60, 50}, {20, 80}, {110, 10}});
        inks("wide curve, ink far from its points", Shape::Curve, 40, {{20, 100}, {180, 100}},
             {{100, 117}, {100, 83}, {3, 100}}, {{100, 122}, {100, 78}});
        Points spiral;
        for (int i = 0; i < 20000; ++i)
            spiral << QPointF(100 + std::cos(i * 0.01) * (10 + i * 0.004),
                              100 + std::sin(i * 0.01) * (10 + i * 0.004));
        inks("long curve", Shape::Curve, 2, spiral, {spiral[1], spiral[10000], spiral.last()},
             {{100, 100}, {5, 5}});
        inks("huge width, huge line", Shape::Line, INT_MAX,
             {{INT_MIN, INT_MIN}, {INT_MAX, INT_MAX}}, {{0, 0}, {199, 199}, {199, 0}}, {});
        inks("rect", Shape::Rect, 1, {{150, 150}, {50, 40}}, {{50, 40}, {150, 40}, {100, 150}},
             {{100, 100}, {40, 40}});
    }
    void strokes()
    {
        QFETCH(Shape, shape);
        QFETCH(int, width);
        QFETCH(Points, stroke);
        QFETCH(Points, geometry);
        QFETCH(Points, inked);
        QFETCH(Points, clean);
        GraphicsSceen scene(nullptr);
        scene.setDrawRect(0, 0, 200, 200);
        scene.setShape(shape);
        scene.setPenWidth(width);
        scene.setColor(0, 0, 255);
        scene.startDraw(stroke.first());
        for (int i = 1; i < stroke.size(); ++i)
            scene.drawing(stroke[i]);
        scene.endDraw();
        QCOMPARE(scene.items().size(), 1);
        if (!geometry.isEmpty())
            QCOMPARE(TestScene::geometry(scene.strokeItem()), geometry);
        QGraphicsView view(&scene);
        view.setFrameStyle(QFrame::NoFrame);
        view.resize(200, 200);
        for (int pass = 0; pass < 2 && !(inked.isEmpty() && clean.isEmpty()); ++pass) {
            QImage image(200, 200, QImage::Format_ARGB32);
            image.fill(Qt::transparent);
            QPainter painter(&image);
            scene.render(&painter, QRectF(0, 0, 200, 200), QRectF(0, 0, 200, 200));
            painter.end();
            for (const QPointF& p : inked) {
                QCOMPARE(image.pixelColor(p.toPoint()), QColor(0, 0, 255));
                const QRect around(p.toPoint() - QPoint(1, 1), QSize(3, 3));
                QCOMPARE(view.viewport()->grab(around).toImage().pixelColor(1, 1),
                         QColor(0, 0, 255));
            }
            for (const QPointF& p : clean)
                QCOMPARE(image.pixelColor(p.toPoint()).alpha(), 0);
            scene.setColor(255, 0, 0);
            scene.setPenWidth(30);
            scene.undo();
            scene.redraw();
        }
    }

    // A full budget ignores points and texts; what a clear or a board's end gives back
    // others may use; a text pays for its longest version only while it is open.
    void inkBudgetIsShared()
    {
        const qint64 text = InkBudget::kTextCost;
        auto ink = std::make_shared<InkBudget>(text + 20);
        auto first = std::make_unique<GraphicsSceen>(nullptr, ink);
        GraphicsSceen second(nullptr, ink);
        first->startText({0, 0});
        first->setText("0123456789");
        first->setText("01234"); // five characters back
        QCOMPARE(ink->used(), text + 5);
        first->setText(QString(21, 'x')); // 16 more do not fit
        QCOMPARE(first->openText()->toPlainText(), QString("01234"));
        first->endText();
        second.startDraw({0, 0});
        for (int i = 1; i <= 20; ++i)
            second.drawing({qreal(i), qreal(i)});
        QCOMPARE(geometry(second.strokeItem()).size(), 15); // start + 14 points
        QCOMPARE(ink->used(), ink->limit());
        second.endDraw();
        second.startText({5, 5});
        QCOMPARE(second.openText(), nullptr);

        first.reset();
        QCOMPARE(ink->used(), 15);
        second.startText({5, 5});
        QVERIFY(second.openText());
        second.clearBoard();
        QCOMPARE(ink->used(), 0);
        QCOMPARE(second.inkHeld(), 0);
    }
};

QTEST_MAIN(TestScene)
#include "tst_scene.moc"
