#include "gui/widgets/controls.h"
#include "modal_dialogs.h"

#include <QApplication>
#include <QClipboard>
#include <QDropEvent>
#include <QInputMethodEvent>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

namespace {

bool showActive(QWidget& window)
{
    window.show();
    window.activateWindow();
    return QTest::qWaitForWindowActive(&window);
}

} // namespace

class TestControls : public QObject
{
    Q_OBJECT
private slots:
    void cleanup() { testing_support::verifyNoWindowsLeft(); }
    void pasteIsCutAtItsFirstLineBreak_data();
    void pasteIsCutAtItsFirstLineBreak();
    void everyWayInIsCut();
    void digitBoxStartingFromARefusedValue_data();
    void digitBoxStartingFromARefusedValue();
    void enterPressesTheFocusedButton();
};

void TestControls::pasteIsCutAtItsFirstLineBreak_data()
{
    QTest::addColumn<QString>("before");
    QTest::addColumn<int>("selectFrom");
    QTest::addColumn<int>("selectLength");
    QTest::addColumn<QString>("pasted");
    QTest::addColumn<QString>("after");

    QTest::newRow("password and a key") << "" << 0 << 0 << "secret\r\nSMTP=evil.example"
                                        << "secret";
    QTest::newRow("trailing LF") << "" << 0 << 0 << "smtp.example.jp\n"
                                 << "smtp.example.jp";
    QTest::newRow("leading LF") << "" << 0 << 0 << "\nSMTP=evil.example"
                                << "";
    QTest::newRow("lone CR") << "pw" << 2 << 0 << "a\rb"
                             << "pwa";
    QTest::newRow("middle of the text") << "XYZ" << 2 << 0 << "ab\ncd\nef"
                                        << "XYabZ";
    QTest::newRow("over a selection") << "abcdef" << 1 << 2 << "X\r\nY"
                                      << "aXdef";
    QTest::newRow("paragraph separator") << "" << 0 << 0 << QString("one\u2029two") << "one";
    // A tab is no line break: the box keeps it, and the settings file refuses it.
    QTest::newRow("tab") << "" << 0 << 0 << "a\tb"
                         << "a\tb";
}

void TestControls::pasteIsCutAtItsFirstLineBreak()
{
    QFETCH(QString, before);
    QFETCH(int, selectFrom);
    QFETCH(int, selectLength);
    QFETCH(QString, pasted);
    QFETCH(QString, after);

    QWidget window;
    QLineEdit* plain = shell::makeEdit(&window, "plain");
    QLineEdit* password = shell::makeEdit(&window, "password");
    password->setEchoMode(QLineEdit::Password);
    QVERIFY(showActive(window));
    for (QLineEdit* box : {plain, password}) {
        box->setText(before);
        box->setFocus();
        if (selectLength > 0)
            box->setSelection(selectFrom, selectLength);
        else
            box->setCursorPosition(selectFrom);
        QApplication::clipboard()->setText(pasted);
        QTest::keyClick(box, Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(box->text(), after);
    }
}

void TestControls::everyWayInIsCut()
{
    QWidget window;
    QLineEdit* box = shell::makeEdit(&window, "box");
    QVERIFY(showActive(window));

    box->insert(QStringLiteral("one\ntwo"));
    QCOMPARE(box->text(), QStringLiteral("one"));

    box->setText(QStringLiteral("text\r\nMAIL=x"));
    QCOMPARE(box->text(), QStringLiteral("text"));

    box->clear();
    QMimeData mime;
    mime.setText(QStringLiteral("dropped\nline"));
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(box, &enter);
    QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(box, &drop);
    QCOMPARE(box->text(), QStringLiteral("dropped"));

    box->clear();
    QInputMethodEvent commit;
    commit.setCommitString(QStringLiteral("入力\n二行目"));
    QApplication::sendEvent(box, &commit);
    QCOMPARE(box->text(), QStringLiteral("入力"));
}

void TestControls::digitBoxStartingFromARefusedValue_data()
{
    QTest::addColumn<QString>("start");
    QTest::addColumn<QString>("keys"); // "<" Home, ">" End, "#" Backspace, "~" Delete, "*" all
    QTest::addColumn<QString>("after");

    QTest::newRow("too long, letters") << "99999"
                                       << ">x-.a"
                                       << "99999";
    QTest::newRow("too long, digits") << "99999"
                                      << ">1<2"
                                      << "99999";
    QTest::newRow("too long, deleting") << "99999"
                                        << ">#"
                                        << "9999";
    QTest::newRow("too long, replaced") << "65535"
                                        << "*12"
                                        << "12";
    QTest::newRow("too long, replaced by a letter") << "65535"
                                                    << "*x"
                                                    << "65535";
    QTest::newRow("negative, letters") << "-1"
                                       << ">ab"
                                       << "-1";
    QTest::newRow("negative, digits") << "-1"
                                      << ">ab7"
                                      << "-17";
    QTest::newRow("negative, another sign") << "-1"
                                            << "<-+>-"
                                            << "-1";
    QTest::newRow("negative, sign deleted") << "-1"
                                            << "<~"
                                            << "1";
    QTest::newRow("negative, then refused again") << "-1"
                                                  << "<~a-"
                                                  << "1";
}

void TestControls::digitBoxStartingFromARefusedValue()
{
    QFETCH(QString, start);
    QFETCH(QString, keys);
    QFETCH(QString, after);

    QWidget window;
    QLineEdit* box = shell::makeDigitEdit(&window, "box", 4);
    QVERIFY(showActive(window));
    shell::setDigitText(box, start);
    QCOMPARE(box->text(), start); // shown whole
    box->setFocus();
    for (const QChar key : keys) {
        switch (key.unicode()) {
        case '<': QTest::keyClick(box, Qt::Key_Home); break;
        case '>': QTest::keyClick(box, Qt::Key_End); break;
        case '#': QTest::keyClick(box, Qt::Key_Backspace); break;
        case '~': QTest::keyClick(box, Qt::Key_Delete); break;
        case '*': box->selectAll(); break;
        default: QTest::keyClicks(box, QString(key)); break;
        }
    }
    QCOMPARE(box->text(), after);

    // A paste is held to the same rule, after its cut at a line break.
    QApplication::clipboard()->setText(QStringLiteral("x1"));
    QTest::keyClick(box, Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(box->text(), after);
    box->clear();
    QApplication::clipboard()->setText(QStringLiteral("1500\n"));
    QTest::keyClick(box, Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(box->text(), QStringLiteral("1500"));
}

void TestControls::enterPressesTheFocusedButton()
{
    QWidget window;
    QPushButton* button = shell::makeButton(&window, "cmd", QStringLiteral("設　定"));
    QLineEdit* box = shell::makeEdit(&window, "box");
    QSignalSpy clicked(button, &QPushButton::clicked);
    QVERIFY(showActive(window));

    box->setFocus();
    QTest::keyClick(box, Qt::Key_Return);
    QTest::keyClick(box, Qt::Key_Enter, Qt::KeypadModifier);
    QCOMPARE(clicked.count(), 0);

    button->setFocus();
    QTest::keyClick(button, Qt::Key_Return);
    QCOMPARE(clicked.count(), 1);
    QTest::keyClick(button, Qt::Key_Enter, Qt::KeypadModifier);
    QCOMPARE(clicked.count(), 2);
    // Holding the key down presses once, not once per repeat.
    QKeyEvent repeat(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, QString(), true);
    QApplication::sendEvent(button, &repeat);
    QCOMPARE(clicked.count(), 2);
    QTest::keyClick(button, Qt::Key_Space);
    QCOMPARE(clicked.count(), 3);
}

QTEST_MAIN(TestControls)
#include "test_controls.moc"
