#include "main_window_fixture.h"
#include "modal_dialogs.h"

#include "core/settings/a_main_smail.h"
#include "gui/main_window/write_form.h"
#include "gui/widgets/twips.h"

#include <QApplication>
#include <QClipboard>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

using testing_support::MainWindowFixture;

namespace {

const QByteArray kCompleteSettings =
    "SMTP=smtp.example.jp\r\nMAIL=kez@example.jp\r\nSENDSPAN= 1200\r\n";

bool loadAndShow(WriteForm& form)
{
    form.Form_Load();
    form.show();
    form.activateWindow();
    return QTest::qWaitForWindowActive(&form);
}

} // namespace

class TestWriteFormInput : public QObject
{
    Q_OBJECT
private slots:
    void init() { aMain_sMail::ResetProcessState(); }
    void cleanup() { testing_support::verifyNoWindowsLeft(); }

    void fixedSize();
    void errorCountCaptionInItsPlace();
    void enterPressesTheFocusedButton();
    void singleLineBoxesCutAPaste();
};

void TestWriteFormInput::fixedSize()
{
    MainWindowFixture window(testing_support::unloadedWindow(kCompleteSettings));
    WriteForm& form = *window.form;
    QVERIFY(loadAndShow(form));
    const QSize size = form.size();
    QCOMPARE(form.centralWidget()->size(),
             QSize(shell::twipsToPixels(&form, 9675), shell::twipsToPixels(&form, 8205)));
    QCOMPARE(form.minimumSize(), size);
    QCOMPARE(form.maximumSize(), size);
    QVERIFY(!(form.windowFlags() & Qt::WindowMaximizeButtonHint));
    QVERIFY(form.windowFlags() & Qt::WindowMinimizeButtonHint);
    QVERIFY(form.windowFlags() & Qt::WindowCloseButtonHint);

    form.resize(size + QSize(300, 200));
    QCOMPARE(form.size(), size);
    // Asked for anyway (the window menu, a double click on the title), a maximise is undone.
    form.showMaximized();
    QTRY_VERIFY(!form.isMaximized());
    QTRY_COMPARE(form.size(), size);
    QCOMPARE(form.centralWidget()->size(),
             QSize(shell::twipsToPixels(&form, 9675), shell::twipsToPixels(&form, 8205)));
}

void TestWriteFormInput::errorCountCaptionInItsPlace()
{
    MainWindowFixture window(testing_support::unloadedWindow(kCompleteSettings));
    WriteForm& form = *window.form;
    QVERIFY(loadAndShow(form));
    QCOMPARE(form.Label4->x(), shell::twipsToPixels(form.Label4, 3540));
    QCOMPARE(form.Label4->y(), shell::twipsToPixels(form.Label4, 2595));
    // The whole caption shows, and the count beside it is neither under it nor cut.
    const int caption = form.Label4->fontMetrics().horizontalAdvance(form.Label4->text());
    QVERIFY2(caption <= form.Label4->contentsRect().width(),
             qPrintable(QString("%1 > %2").arg(caption).arg(form.Label4->width())));
    QVERIFY(form.lblErrCnt->x() >= form.Label4->geometry().right() + 1);
    QVERIFY(form.lblErrCnt->x() >= shell::twipsToPixels(form.lblErrCnt, 4845));
    QCOMPARE(form.lblErrCnt->y(), form.Label4->y());
    QVERIFY(form.lblErrCnt->geometry().right() < form.Frame2->x());
    // The 配信間隔 frame's caption line stands whole above its children, and the frame still
    // holds them all.
    const int captionLine = QFontMetrics(form.Frame2->font()).height();
    for (const QWidget* child : form.Frame2->findChildren<QWidget*>()) {
        QVERIFY2(child->y() >= captionLine, qPrintable(child->objectName()));
        QVERIFY2(form.Frame2->rect().contains(child->geometry()), qPrintable(child->objectName()));
    }
}

void TestWriteFormInput::enterPressesTheFocusedButton()
{
    MainWindowFixture window(testing_support::unloadedWindow(kCompleteSettings));
    auto& fakes = window.fakes;
    WriteForm& form = *window.form;
    QVERIFY(loadAndShow(form));

    // In a box, Enter presses nothing.
    for (QLineEdit* box : {form.ToText, form.SubjectText, form.txtFrom, form.AttachText}) {
        box->setFocus();
        QTest::keyClick(box, Qt::Key_Return);
        QTest::keyClick(box, Qt::Key_Enter, Qt::KeypadModifier);
    }
    QVERIFY(fakes.dialogs().requests.empty());
    QVERIFY(fakes.boxes().shown.empty());

    // On a button it presses it: the list chooser opens (and is cancelled) ...
    form.cmdCSV->setFocus();
    QTest::keyClick(form.cmdCSV, Qt::Key_Return);
    QCOMPARE(fakes.dialogs().requests.size(), size_t(1));
    // ... the send button makes its checks ...
    form.SendCommand->setFocus();
    QTest::keyClick(form.SendCommand, Qt::Key_Return);
    QCOMPARE(fakes.boxes().shown.size(), size_t(1));
    QCOMPARE(fakes.boxes().shown[0].text, QStringLiteral("CSVファイルを指定して下さい。"));
    // ... and 中止, reached by Tab, closes the window that runs nothing.
    form.SendCommand->setFocus();
    QTest::keyClick(form.SendCommand, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), form.CancelCommand);
    QTest::keyClick(form.CancelCommand, Qt::Key_Return);
    QCOMPARE(fakes.processEnd().calls, 1);
    QVERIFY(form.isUnloaded());
}

void TestWriteFormInput::singleLineBoxesCutAPaste()
{
    MainWindowFixture window(testing_support::unloadedWindow(kCompleteSettings));
    WriteForm& form = *window.form;
    QVERIFY(loadAndShow(form));
    QApplication::clipboard()->setText(QStringLiteral("ご案内\r\nBcc: x@evil.example\r\n"));
    for (QLineEdit* box :
         {form.ToText, form.SubjectText, form.txtFrom, form.AttachText, form.txtTimerTime}) {
        box->setEnabled(true);
        box->clear();
        box->setFocus();
        QTest::keyClick(box, Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(box->text(), QStringLiteral("ご案内"));
    }
    // The body is the one box of many lines.
    form.BodyText->setFocus();
    QTest::keyClick(form.BodyText, Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(form.BodyText->toPlainText(), QStringLiteral("ご案内\nBcc: x@evil.example\n"));
}

QTEST_MAIN(TestWriteFormInput)
#include "test_write_form_input.moc"
