// The whiteboard's shapes and scene on the offscreen platform: how each shape grows, the
// pen and font rules with their limits, undo/redo/clear histories (no item outlives its
// owner, no reference outlives its item), and the pixels a stroke leaves and keeps.

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
        if (auto* e = dynamic_cast<QGraphicsEllipseItem*>(itemOf(s)))
            return {e->rect().topLeft(), {e->rect().width(), e->rect().height()}};
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
    // The items on the board, topmost first, by the label each got when it was made.
    static QString board(GraphicsSceen& scene)
    {
        QString labels;
        for (QGraphicsItem* item : scene.items(Qt::DescendingOrder))
            labels += item->data(0).toString();
        return labels;
    }
    static void mouse(GraphicsSceen& scene, QEvent::Type type, QPointF at)
    {
        QGraphicsSceneMouseEvent event(type);
        event.setScenePos(at);
        event.setButton(Qt::LeftButton);
        QCoreApplication::sendEvent(&scene, &event);
    }

private slots:
    void shapes_data()
    {
        QTest::addColumn<Shape>("shape");
        QTest::addColumn<Points>("stroke");
        QTest::addColumn<Points>("expected");
        const QPointF s(200, 200);
        QTest::newRow("line keeps its start")
            << Shape::Line << Points{{100, 100}, {150, 120}, {200, 300}}
            << Points{{100, 100}, {200, 300}};
        QTest::newRow("ellipse not normalised")
            << Shape::Ellipse << Points{s, {100, 50}} << Points{s, {-100, -150}};
        QTest::newRow("rect up-left")
            << Shape::Rect << Points{s, {100, 50}} << Points{{100, 50}, {100, 150}};
        QTest::newRow("rect down-right")
            << Shape::Rect << Points{s, {250, 260}} << Points{s, {50, 60}};
        QTest::newRow("rect up-right")
            << Shape::Rect << Points{s, {250, 150}} << Points{{200, 150}, {50, 50}};
        QTest::newRow("rect down-left")
            << Shape::Rect << Points{s, {150, 250}} << Points{{150, 200}, {50, 50}};
        QTest::newRow("rect int extremes")
            << Shape::Rect << Points{{INT_MAX, INT_MIN}, {INT_MIN, INT_MAX}}
            << Points{{INT_MIN, INT_MIN}, {4294967295.0, 4294967295.0}};
        QTest::newRow("curve start only") << Shape::Curve << Points{s} << Points{s};
        Points zigzag{s};
        for (int i = 1; i < 5000; ++i)
            zigzag << QPointF(i % 300 * 3, i / 300 * 7 - (i % 2) * 1e6);
        QTest::newRow("curve of 5000 points") << Shape::Curve << zigzag << zigzag;
    }
    void shapes()
    {
        QFETCH(Shape, shape);
        QFETCH(Points, stroke);
        QFETCH(Points, expected);
        GraphicsSceen scene(nullptr);
        scene.setShape(shape);
        scene.startDraw(stroke.first());
        for (int i = 1; i < stroke.size(); ++i)
            scene.drawing(stroke[i]);
        scene.endDraw();
        QCOMPARE(scene.items().size(), 1);
        QCOMPARE(scene.strokeRunning(), false);
        QCOMPARE(geometry(scene.strokeItem()), expected);
        QGraphicsItem* item = itemOf(scene.strokeItem());
        QVERIFY(!(item->flags() & QGraphicsItem::ItemIsMovable));
        QCOMPARE(item->zValue(), 0.0);
    }

    void pens_data()
    {
        QTest::addColumn<int>("width");
        QTest::addColumn<QVector<int>>("rgb");
        QTest::addColumn<int>("stored");
        QTest::addColumn<QColor>("color");
        QTest::addColumn<int>("textSize");
        QTest::newRow("defaults") << -1 << QVector<int>{} << 2 << QColor(255, 0, 0) << 16;
        QTest::newRow("zero") << 0 << QVector<int>{0, 255, 7} << 2 << QColor(0, 255, 7) << 16;
        QTest::newRow("negative") << -5 << QVector<int>{1, 2, 3} << 2 << QColor(1, 2, 3) << 16;
        QTest::newRow("int min") << INT_MIN << QVector<int>{} << 2 << QColor(255, 0, 0) << 16;
        QTest::newRow("one") << 1 << QVector<int>{} << 1 << QColor(255, 0, 0) << 16;
        QTest::newRow("twenty") << 20 << QVector<int>{} << 20 << QColor(255, 0, 0) << 20;
        QTest::newRow("beyond any screen")
            << 2000000000 << QVector<int>{300, -20, 128} << 4096 << QColor(255, 0, 128) << 4096;
        QTest::newRow("int extremes colour")
            << 4096 << QVector<int>{INT_MAX, INT_MIN, 255} << 4096 << QColor(255, 0, 255) << 4096;
    }
    void pens()
    {
        QFETCH(int, width);
        QFETCH(QVector<int>, rgb);
        QFETCH(int, stored);
        QFETCH(QColor, color);
        QFETCH(int, textSize);
        QWidget host;
        host.move(30, 40);
        host.resize(200, 100);
        GraphicsSceen scene(&host);
        QCOMPARE(scene.sceneRect(), QRectF(30, 40, 200, 100));
        if (width != -1)
            scene.setPenWidth(width);
        if (!rgb.isEmpty())
            scene.setColor(rgb[0], rgb[1], rgb[2]);
        scene.setColor(QColor()); // invalid: ignored
        QCOMPARE(scene.drawPenWidth(), stored);
        QCOMPARE(scene.drawColor(), color);
        for (Shape shape : {Shape::Line, Shape::Ellipse, Shape::Rect, Shape::Curve}) {
            scene.setShape(shape);
            scene.startDraw({1, 1});
            scene.endDraw();
            QCOMPARE(scene.strokeItem()->penWidth(), stored);
            QCOMPARE(scene.strokeItem()->color(), color);
            auto* pen = dynamic_cast<QAbstractGraphicsShapeItem*>(itemOf(scene.strokeItem()));
            if (pen)
                QCOMPARE(pen->pen().capStyle(), Qt::SquareCap);
        }
        scene.startText({5, 6});
        Text* text = scene.openText();
        QCOMPARE(text->penWidth(), textSize);
        QCOMPARE(text->color(), color);
        QVERIFY(text->font().bold());
        QCOMPARE(text->zValue(), 1000.0);
        QCOMPARE(text->pos(), QPointF(5, 6));
        // The shapes themselves keep what reaches the painter within 1..4096.
        text->setPenWidth(-3);
        QCOMPARE(text->penWidth(), 1);
        scene.strokeItem()->setPenWidth(INT_MAX);
        QCOMPARE(scene.strokeItem()->penWidth(), 4096);
    }

    // Commands: s start, d point, e end, t text, w set text, x end text, u undo, r redo,
    // c clear, P/M/R mouse press/move/release. Each start and mouse press or text labels
    // the new item: strokes a, b, c..., texts A, B, C...
    void history_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("topDown");
        QTest::addColumn<int>("undone");
        QTest::addColumn<bool>("textOpen");
        QTest::addColumn<int>("strokeElements"); // of the current stroke; -1 none
        QTest::addColumn<int>("textsAlive");
        QTest::newRow("text above strokes, redo on top") << "sdetsdeuur"
                                                         << "ba" << 1 << true << 2 << 1;
        QTest::newRow("new stroke drops redo") << "sdeusder"
                                               << "b" << 0 << false << 2 << 0;
        QTest::newRow("nothing to undo or redo") << "urd"
                                                 << "" << 0 << false << -1 << 0;
        QTest::newRow("clear forgets all") << "sdetuccw"
                                           << "" << 0 << false << -1 << 0;
        QTest::newRow("undone text dropped by a stroke") << "tusdew"
                                                         << "a" << 0 << false << 2 << 0;
        QTest::newRow("undone running stroke cleared") << "sducd"
                                                       << "" << 0 << false << -1 << 0;
        QTest::newRow("undone stroke grows off board") << "sduddre"
                                                       << "a" << 0 << false << 4 << 0;
        QTest::newRow("second start ignored") << "sdsde"
                                              << "a" << 0 << false << 3 << 0;
        QTest::newRow("points outside a stroke") << "dsded"
                                                 << "a" << 0 << false << 2 << 0;
        QTest::newRow("text ended") << "txw"
                                    << "A" << 0 << false << -1 << 1;
        QTest::newRow("mouse and controller share") << "PsdMRd"
                                                    << "a" << 0 << false << 3 << 0;
        QTest::newRow("thousands, each start drops")
            << QString("sdeu").repeated(2000) << "" << 1 << false << 2 << 0;
        QString many;
        for (int i = 0; i < 300; ++i)
            many.prepend(QChar('a' + i % 26));
        QTest::newRow("thousands of undo/redo")
            << QString("sde").repeated(300) + QString("u").repeated(1000) +
                   QString("r").repeated(1000)
            << many << 0 << false << 2 << 0;
    }
    void history()
    {
        QFETCH(QString, script);
        GraphicsSceen scene(nullptr);
        int strokes = 0, step = 0;
        QList<QPointer<QGraphicsTextItem>> texts;
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
                {'P', [&] { mouse(scene, QEvent::GraphicsSceneMousePress, at); }},
                {'M', [&] { mouse(scene, QEvent::GraphicsSceneMouseMove, at); }},
                {'R', [&] { mouse(scene, QEvent::GraphicsSceneMouseRelease, at); }}};
            command.at(c.toLatin1())();
            if (scene.strokeItem() && scene.strokeItem() != was)
                itemOf(scene.strokeItem())->setData(0, QString(QChar('a' + strokes++ % 26)));
            if (c == 't') {
                scene.openText()->setData(0, QString(QChar('A' + texts.size() % 26)));
                texts << scene.openText();
            }
        }
        QTEST(board(scene), "topDown");
        QTEST(scene.undoneCount(), "undone");
        QTEST(scene.openText() != nullptr, "textOpen");
        auto* curve = dynamic_cast<Curves*>(scene.strokeItem());
        QTEST(curve ? curve->wholePath().elementCount() : -1, "strokeElements");
        QTEST(int(texts.size() - texts.count(nullptr)), "textsAlive");
    }

    void pixels_data()
    {
        QTest::addColumn<Shape>("shape");
        QTest::addColumn<int>("width");
        QTest::addColumn<Points>("stroke");
        QTest::addColumn<Points>("inked");
        QTest::addColumn<Points>("clean");
        QTest::newRow("curve") << Shape::Curve << 4 << Points{{20, 20}, {100, 20}, {100, 80}}
                               << Points{{20, 20}, {60, 20}, {100, 50}, {100, 80}}
                               << Points{{60, 50}, {20, 80}, {110, 10}};
        QTest::newRow("wide curve, ink far from its points")
            << Shape::Curve << 40 << Points{{20, 100}, {180, 100}}
            << Points{{100, 117}, {100, 83}, {3, 100}} << Points{{100, 122}, {100, 78}};
        Points spiral;
        for (int i = 0; i < 20000; ++i)
            spiral << QPointF(100 + std::cos(i * 0.01) * (10 + i * 0.004),
                              100 + std::sin(i * 0.01) * (10 + i * 0.004));
        QTest::newRow("long curve")
            << Shape::Curve << 2 << spiral << Points{spiral[1], spiral[10000], spiral.last()}
            << Points{{100, 100}, {5, 5}};
        QTest::newRow("huge width, huge line")
            << Shape::Line << INT_MAX << Points{{INT_MIN, INT_MIN}, {INT_MAX, INT_MAX}}
            << Points{{0, 0}, {199, 199}, {199, 0}} << Points{};
        QTest::newRow("rect") << Shape::Rect << 1 << Points{{150, 150}, {50, 40}}
                              << Points{{50, 40}, {150, 40}, {100, 150}}
                              << Points{{100, 100}, {40, 40}};
    }
    void pixels()
    {
        QFETCH(Shape, shape);
        QFETCH(int, width);
        QFETCH(Points, stroke);
        GraphicsSceen scene(nullptr);
        scene.setDrawRect(0, 0, 200, 200);
        scene.setShape(shape);
        scene.setPenWidth(width);
        scene.setColor(0, 0, 255);
        scene.startDraw(stroke.first());
        for (const QPointF& p : stroke)
            scene.drawing(p);
        scene.endDraw();
        QFETCH(Points, inked);
        QFETCH(Points, clean);
        // A view repaints small exposed areas only: the ink must be there too.
        QGraphicsView view(&scene);
        view.setFrameStyle(QFrame::NoFrame);
        view.resize(200, 200);
        // Drawn again after a new pen, an undo and a redo: the stroke keeps its own pen, also
        // where a curve's finished runs are copied from the images of the first drawing.
        for (int pass = 0; pass < 2; ++pass) {
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

    // Boards share one budget: a full one ignores points and texts (the stroke stays as
    // far as it got), whatever a board gives back by a clear or its end others may use,
    // and a text pays for its longest version only while it is open.
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
