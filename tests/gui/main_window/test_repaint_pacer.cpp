#include "gui/main_window/repaint_pacer.h"
#include "modal_dialogs.h"

#include <QLabel>
#include <QTest>
#include <QVBoxLayout>
#include <QWidget>

namespace {

// Notes the text a label showed each time it was painted.
class PaintLog final : public QObject
{
public:
    explicit PaintLog(QLabel* label) : m_label(label) { label->installEventFilter(this); }
    QStringList painted;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched == m_label && event->type() == QEvent::Paint)
            painted << m_label->text();
        return false;
    }

private:
    QLabel* m_label;
};

// A shown window with one label, paced at 16 ms by a clock the test moves by hand.
struct PacedWindow
{
    PacedWindow() : label(new QLabel(QStringLiteral("0"), &window))
    {
        (new QVBoxLayout(&window))->addWidget(label);
        new shell::RepaintPacer(&window, 16, [this] { return now; });
        window.show();
    }
    qint64 now = 1000;
    QWidget window;
    QLabel* label;
};

} // namespace

class TestRepaintPacer : public QObject
{
    Q_OBJECT
private slots:
    void cleanup() { testing_support::verifyNoWindowsLeft(); }
    void mergesQuickUpdatesAndShowsTheLast();
    void paintsAtOnceOnceTheGapHasPassed();
};

// The clock stands still, as it does for a burst of mails inside one frame: only the deferred
// paint may draw, and it must draw the last text.
void TestRepaintPacer::mergesQuickUpdatesAndShowsTheLast()
{
    PacedWindow w;
    QVERIFY(QTest::qWaitForWindowExposed(&w.window));
    PaintLog log(w.label);
    w.label->setText(QStringLiteral("first"));
    QCoreApplication::processEvents();
    QTRY_COMPARE(log.painted, QStringList{QStringLiteral("first")});

    for (int i = 1; i <= 50; ++i) {
        w.label->setText(QString::number(i));
        QCoreApplication::processEvents();
    }
    QTRY_COMPARE(log.painted.size(), 2);
    QCOMPARE(log.painted.last(), QStringLiteral("50"));
    QTest::qWait(50); // a further deferral, or a late extra paint, would show up here
    QCOMPARE(log.painted.size(), 2);
}

void TestRepaintPacer::paintsAtOnceOnceTheGapHasPassed()
{
    PacedWindow w;
    QVERIFY(QTest::qWaitForWindowExposed(&w.window));
    PaintLog log(w.label);
    for (int i = 1; i <= 3; ++i) {
        w.now += 16;
        w.label->setText(QString::number(i));
        QCoreApplication::processEvents();
        QCOMPARE(log.painted.size(), i);
        QCOMPARE(log.painted.last(), QString::number(i));
    }
}

QTEST_MAIN(TestRepaintPacer)
#include "test_repaint_pacer.moc"
