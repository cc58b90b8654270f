#include "fakes.h"
#include "gui_fakes.h"
#include "modal_dialogs.h"

#include "core/settings/a_main_smail.h"
#include "gui/schedule_dialog/frm_timer_set.h"

#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

using testing_support::ScopedFakeClock;
using testing_support::ScopedGuiFakes;

namespace {

const QDateTime kNow(QDate(2026, 3, 7), QTime(9, 5, 30));

void fill(frmTimerSet& dialog, const QStringList& fields)
{
    QLineEdit* edits[] = {dialog.txtYyyy, dialog.txtMm, dialog.txtDd, dialog.txtHh, dialog.txtNn};
    for (int i = 0; i < 5; ++i)
        edits[i]->setText(fields.value(i));
}

QStringList fieldTexts(const frmTimerSet& dialog)
{
    return {dialog.txtYyyy->text(), dialog.txtMm->text(), dialog.txtDd->text(),
            dialog.txtHh->text(), dialog.txtNn->text()};
}

bool showActive(QWidget& window)
{
    window.show();
    window.activateWindow();
    return QTest::qWaitForWindowActive(&window);
}

} // namespace

class TestFrmTimerSet : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup() { testing_support::verifyNoWindowsLeft(); }
    void layoutAndFocus();
    void clockTicksEverySecond();
    void digitFilterTypedAndPasted();
    void zeroFillOnLeavingAField();
    void confirmHandsBackTheStartTime();
    void failedCheckKeepsTheDialogOpen_data();
    void failedCheckKeepsTheDialogOpen();
    void prefillAndCancel();
    void closeBoxAndEscape();
    void enterPressesTheFocusedButton();
};

void TestFrmTimerSet::init()
{
    aMain_sMail::ResetProcessState();
}

void TestFrmTimerSet::layoutAndFocus()
{
    ScopedFakeClock clock(kNow);
    frmTimerSet dialog;
    QCOMPARE(dialog.windowTitle(), QStringLiteral("タイマー配信の設定"));
    QCOMPARE(dialog.cmdSettei->text(), QStringLiteral("設　定"));
    QCOMPARE(dialog.cmdCancel->text(), QStringLiteral("取消し"));
    QCOMPARE(dialog.Label7->text(), QStringLiteral("現在時刻"));
    QCOMPARE(dialog.Label8->text(), QStringLiteral("設定時刻"));
    QCOMPARE(dialog.txtYyyy->maxLength(), 4);
    for (QLineEdit* edit : {dialog.txtMm, dialog.txtDd, dialog.txtHh, dialog.txtNn})
        QCOMPARE(edit->maxLength(), 2);
    for (QPushButton* button : {dialog.cmdSettei, dialog.cmdCancel}) {
        QVERIFY(!button->isDefault());
        QVERIFY(!button->autoDefault());
    }
    // Every field and value is followed by its unit, in the dialog's proportional face.
    int units = 0;
    for (QLabel* label : dialog.findChildren<QLabel*>()) {
        if (QStringLiteral("年月日時分秒").contains(label->text()) && label->text().size() == 1) {
            ++units;
            QCOMPARE(label->font().pointSizeF(), 9.75);
        }
    }
    QCOMPARE(units, 11);

    QVERIFY(showActive(dialog));
    QCOMPARE(QApplication::focusWidget(), dialog.txtYyyy);
    const QWidget* order[] = {dialog.txtMm, dialog.txtDd, dialog.txtHh, dialog.txtNn,
                              dialog.cmdSettei};
    for (const QWidget* next : order) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), next);
    }
}

void TestFrmTimerSet::clockTicksEverySecond()
{
    ScopedFakeClock clock(kNow);
    frmTimerSet dialog;
    QCOMPARE(dialog.Timer1->interval(), 1000);
    QVERIFY(dialog.Timer1->isEnabled());
    QVERIFY(dialog.lblSs->text().isEmpty());

    QSignalSpy ticks(dialog.Timer1, &platform::FormTimer::timeout);
    QVERIFY(ticks.wait(2000));
    QCOMPARE(QStringList({dialog.lblYyyy->text(), dialog.lblMm->text(), dialog.lblDd->text(),
                          dialog.lblHh->text(), dialog.lblNn->text(), dialog.lblSs->text()}),
             QStringList({"2026", "03", "07", "09", "05", "30"}));

    clock->set(QDateTime(QDate(2026, 12, 31), QTime(23, 59, 9)));
    QVERIFY(ticks.wait(2000));
    QCOMPARE(QStringList({dialog.lblYyyy->text(), dialog.lblMm->text(), dialog.lblDd->text(),
                          dialog.lblHh->text(), dialog.lblNn->text(), dialog.lblSs->text()}),
             QStringList({"2026", "12", "31", "23", "59", "09"}));
}

void TestFrmTimerSet::digitFilterTypedAndPasted()
{
    ScopedFakeClock clock(kNow);
    frmTimerSet dialog;
    QVERIFY(showActive(dialog));

    QTest::keyClicks(dialog.txtYyyy, QStringLiteral("2a0- 2"));
    QTest::keyClick(dialog.txtYyyy, Qt::Key_Tab);
    dialog.txtYyyy->setFocus();
    QTest::keyClicks(dialog.txtYyyy, QStringLiteral("6x7"));
    QCOMPARE(dialog.txtYyyy->text(), QStringLiteral("2026"));
    QTest::keyClick(dialog.txtYyyy, Qt::Key_Backspace);
    QCOMPARE(dialog.txtYyyy->text(), QStringLiteral("202"));
    QTest::sendKeyEvent(QTest::Click, dialog.txtYyyy, Qt::Key_unknown, QStringLiteral("１"),
                        Qt::NoModifier);
    QCOMPARE(dialog.txtYyyy->text(), QStringLiteral("202"));

    QClipboard* clipboard = QApplication::clipboard();
    dialog.txtDd->setFocus();
    for (const QString& refused : {QStringLiteral("1a"), QStringLiteral(" 5"), QStringLiteral("-1"),
                                   QStringLiteral("０７")}) {
        clipboard->setText(refused);
        dialog.txtDd->paste();
        QCOMPARE(dialog.txtDd->text(), QString());
    }
    clipboard->setText(QStringLiteral("07"));
    QTest::keyClick(dialog.txtDd, Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(dialog.txtDd->text(), QStringLiteral("07"));
    // A copied line end goes no further than a single-line box.
    dialog.txtHh->setFocus();
    clipboard->setText(QStringLiteral("09\r\n"));
    QTest::keyClick(dialog.txtHh, Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(dialog.txtHh->text(), QStringLiteral("09"));
}

void TestFrmTimerSet::enterPressesTheFocusedButton()
{
    ScopedGuiFakes fakes;
    ScopedFakeClock clock(kNow);
    frmTimerSet dialog;
    QVERIFY(showActive(dialog));
    // 設定 runs its checks: the year is missing.
    dialog.txtNn->setFocus();
    QTest::keyClick(dialog.txtNn, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), dialog.cmdSettei);
    QTest::keyClick(dialog.cmdSettei, Qt::Key_Return);
    QCOMPARE(fakes.boxes().shown.size(), size_t(1));
    QCOMPARE(fakes.boxes().shown[0].text, QStringLiteral("年度が未入力です。"));
    QCOMPARE(QApplication::focusWidget(), dialog.txtYyyy);
    // In a field, Enter presses nothing.
    QTest::keyClick(dialog.txtYyyy, Qt::Key_Enter, Qt::KeypadModifier);
    QCOMPARE(fakes.boxes().shown.size(), size_t(1));
    QVERIFY(dialog.isVisible());
    // 取消し cancels.
    aMain_sMail::ScheduledTime = QStringLiteral("2026年03月07日 09時05分00秒");
    dialog.cmdCancel->setFocus();
    QTest::keyClick(dialog.cmdCancel, Qt::Key_Return);
    QVERIFY(!dialog.isVisible());
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
    QVERIFY(aMain_sMail::ScheduledTime.isEmpty());
}

void TestFrmTimerSet::zeroFillOnLeavingAField()
{
    ScopedGuiFakes fakes;
    ScopedFakeClock clock(kNow);
    frmTimerSet dialog;
    QVERIFY(showActive(dialog));

    // Year: kept exactly as typed. Month: 7 becomes 07. Day left empty stays empty. Hour
    // left empty becomes 00. Minute: 5 becomes 05 when the confirm button takes the focus.
    QTest::keyClicks(dialog.txtYyyy, QStringLiteral("26"));
    QTest::keyClick(dialog.txtYyyy, Qt::Key_Tab);
    QTest::keyClicks(dialog.txtMm, QStringLiteral("7"));
    QTest::keyClick(dialog.txtMm, Qt::Key_Tab);
    QTest::keyClick(dialog.txtDd, Qt::Key_Tab);
    QTest::keyClick(dialog.txtHh, Qt::Key_Tab);
    QCOMPARE(fieldTexts(dialog), QStringList({"26", "07", "", "00", ""}));

    dialog.txtDd->setText(QStringLiteral("9"));
    QTest::keyClicks(dialog.txtNn, QStringLiteral("5"));
    QTest::mouseClick(dialog.cmdSettei, Qt::LeftButton);
    QCOMPARE(fieldTexts(dialog), QStringList({"26", "07", "9", "00", "05"}));

    // Another window taking the focus away is not leaving the field.
    dialog.txtDd->setText(QStringLiteral("3"));
    dialog.txtDd->setFocus();
    QWidget other;
    QVERIFY(showActive(other));
    QCOMPARE(dialog.txtDd->text(), QStringLiteral("3"));
}

void TestFrmTimerSet::confirmHandsBackTheStartTime()
{
    ScopedGuiFakes fakes;
    ScopedFakeClock clock(kNow);
    frmTimerSet dialog;
    dialog.show();
    fill(dialog, {"2026", "03", "07", "09", "06"});
    QTest::mouseClick(dialog.cmdSettei, Qt::LeftButton);

    QVERIFY(fakes.boxes().shown.empty());
    QCOMPARE(aMain_sMail::ScheduleConfirmed, qint16(1));
    QCOMPARE(aMain_sMail::ScheduledTime, QStringLiteral("2026年03月07日 09時06分00秒"));
    QVERIFY(!dialog.isVisible());
    QVERIFY(!dialog.Timer1->isEnabled());

    // December of the last year the calendar holds has its 31st.
    frmTimerSet last;
    last.show();
    fill(last, {"9999", "12", "31", "23", "59"});
    QTest::mouseClick(last.cmdSettei, Qt::LeftButton);
    QVERIFY(fakes.boxes().shown.empty());
    QCOMPARE(aMain_sMail::ScheduledTime, QStringLiteral("9999年12月31日 23時59分00秒"));
}

void TestFrmTimerSet::failedCheckKeepsTheDialogOpen_data()
{
    QTest::addColumn<QStringList>("fields");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("focus");
    QTest::newRow("year") << QStringList{"", "03", "07", "10", "00"} << "年度が未入力です。"
                          << "txtYyyy";
    QTest::newRow("short year") << QStringList{"26", "03", "07", "10", "00"}
                                << "年度は4桁で入力して下さい。"
                                << "txtYyyy";
    QTest::newRow("month") << QStringList{"2026", "13", "07", "10", "00"}
                           << "入力月の範囲に誤りがあります。"
                           << "txtMm";
    QTest::newRow("day") << QStringList{"2026", "04", "31", "10", "00"}
                         << "入力日の範囲に誤りがあります。"
                         << "txtDd";
    QTest::newRow("hour") << QStringList{"2026", "03", "07", "24", "00"}
                          << "時の範囲に誤りがあります。"
                          << "txtHh";
    QTest::newRow("minute") << QStringList{"2026", "03", "07", "09", "05"}
                            << "入力分が過去は入力できません。"
                            << "txtNn";
}

void TestFrmTimerSet::failedCheckKeepsTheDialogOpen()
{
    QFETCH(QStringList, fields);
    QFETCH(QString, message);
    QFETCH(QString, focus);

    ScopedGuiFakes fakes;
    ScopedFakeClock clock(kNow);
    aMain_sMail::ScheduledTime = QStringLiteral("2026年05月01日 10時00分00秒");
    frmTimerSet dialog;
    QVERIFY(showActive(dialog));
    fill(dialog, fields);
    dialog.cmdSettei->setFocus();
    dialog.cmdSettei_Click();

    QCOMPARE(fakes.boxes().shown.size(), size_t(1));
    const platform::MessageBoxRequest& box = fakes.boxes().shown.front();
    QCOMPARE(box.text, message);
    QCOMPARE(box.caption, std::optional<QString>(QStringLiteral("タイマー配信の設定")));
    QCOMPARE(box.icon, platform::MsgIcon::Exclamation);
    QCOMPARE(box.buttons, platform::MsgButtons::Ok);
    QVERIFY(dialog.isVisible());
    QCOMPARE(QApplication::focusWidget()->objectName(), focus);
    QCOMPARE(aMain_sMail::ScheduleConfirmed, qint16(0));
    QCOMPARE(aMain_sMail::ScheduledTime, QStringLiteral("2026年05月01日 10時00分00秒"));
}

void TestFrmTimerSet::prefillAndCancel()
{
    ScopedFakeClock clock(kNow);
    aMain_sMail::ScheduledTime = QStringLiteral("2026年03月07日 09時05分00秒");
    aMain_sMail::ScheduleConfirmed = 1;
    {
        frmTimerSet dialog;
        QCOMPARE(fieldTexts(dialog), QStringList({"2026", "03", "07", "09", "05"}));
        dialog.show();
        QTest::mouseClick(dialog.cmdCancel, Qt::LeftButton);
        QCOMPARE(fieldTexts(dialog), QStringList({"", "", "", "", ""}));
        QVERIFY(!dialog.isVisible());
    }
    QCOMPARE(aMain_sMail::ScheduleConfirmed, qint16(0));
    QVERIFY(aMain_sMail::ScheduledTime.isEmpty());

    frmTimerSet again;
    QCOMPARE(fieldTexts(again), QStringList({"", "", "", "", ""}));
}

void TestFrmTimerSet::closeBoxAndEscape()
{
    ScopedFakeClock clock(kNow);
    aMain_sMail::ScheduledTime = QStringLiteral("2026年03月07日 09時05分00秒");
    frmTimerSet dialog;
    QVERIFY(showActive(dialog));
    QTest::keyClick(dialog.txtYyyy, Qt::Key_Escape);
    QTest::keyClick(dialog.txtYyyy, Qt::Key_Return);
    QVERIFY(dialog.isVisible());

    fill(dialog, {"2027", "01", "01", "00", "00"});
    dialog.close();
    QVERIFY(!dialog.isVisible());
    QCOMPARE(aMain_sMail::ScheduleConfirmed, qint16(0));
    QCOMPARE(aMain_sMail::ScheduledTime, QStringLiteral("2026年03月07日 09時05分00秒"));
}

QTEST_MAIN(TestFrmTimerSet)
#include "test_frm_timer_set.moc"
