#include "main_window_fixture.h"
#include "modal_dialogs.h"

#include "core/settings/a_main_smail.h"
#include "gui/main_window/write_form.h"
#include "gui/settings_dialog/frm_op_set1.h"

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <functional>
#include <memory>

using aMain_sMail::Settings;
using testing_support::MainWindowFixture;
using testing_support::NextDialog;

namespace {

// Acts on the settings dialog once it is open modally, and notes whether the main window was
// visible at that moment.
struct SettingsDialogScript
{
    SettingsDialogScript(WriteForm& form, std::function<void(frmOpSet1&)> act)
        : next([this, &form, act = std::move(act)](frmOpSet1& dialog) {
              mainVisibleMeanwhile = form.isVisible();
              act(dialog);
          })
    {
    }
    bool opened() const { return next.opened() > 0; }

    bool mainVisibleMeanwhile = false;
    NextDialog<frmOpSet1> next;
};

const QByteArray kCompleteSettings =
    "SMTP=smtp.example.jp\r\nMAIL=kez@example.jp\r\nSENDSPAN= 1200\r\n";

} // namespace

class TestWriteFormStartup : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { testing_support::verifyNoWindowsLeft(); }

    void firstStartShowsDialogFirst();
    void firstStartCancelled();
    void completeFileOpensNoDialog();
    void incompleteFileOpensDialog();
    void pop3TimerInterval_data();
    void pop3TimerInterval();
    void settingsMenuRefreshesInterval();
    void closingWithoutRunEndsProcess();
    void closeBoxDuringRunAsksOnce();
};

void TestWriteFormStartup::firstStartShowsDialogFirst()
{
    MainWindowFixture window(testing_support::unloadedWindow());
    auto& fakes = window.fakes;
    auto& app = window.app;
    WriteForm& form = *window.form;
    SettingsDialogScript script(form, [](frmOpSet1& dialog) {
        QTest::keyClicks(dialog.txtSmtp, QStringLiteral("smtp.example.jp"));
        QTest::keyClicks(dialog.txtMail, QStringLiteral("kez@example.jp"));
        dialog.txtSendSpan->selectAll();
        QTest::keyClicks(dialog.txtSendSpan, QStringLiteral("2500"));
        QTest::mouseClick(dialog.OkCommand, Qt::LeftButton);
    });
    form.Form_Load();

    QVERIFY(script.opened());
    QVERIFY(!script.mainVisibleMeanwhile);
    QVERIFY(fakes.boxes().shown.empty());
    QVERIFY(app.read(QStringLiteral("ini/kezmail.ini")).contains("\r\nSENDSPAN= 2500\r\n"));
    QCOMPARE(form.txtSenderAdress->text(), QStringLiteral("<kez@example.jp>"));
    QCOMPARE(form.txtTimerTime->text(), QStringLiteral("2500"));
    QCOMPARE(form.Timer1->interval(), qint64(2500));
    QVERIFY(!form.Timer1->isEnabled());
    QVERIFY(!form.txtTimerTime->isEnabled());
    QCOMPARE(QDir(QDir::currentPath()).canonicalPath(), QDir(app.path()).canonicalPath());
}

void TestWriteFormStartup::firstStartCancelled()
{
    MainWindowFixture window(testing_support::unloadedWindow());
    auto& app = window.app;
    WriteForm& form = *window.form;
    SettingsDialogScript script(form, [](frmOpSet1& dialog) {
        dialog.txtSmtp->setText(QStringLiteral("typed.example.jp"));
        QTest::mouseClick(dialog.CancelCommand, Qt::LeftButton);
    });
    form.Form_Load();

    QVERIFY(script.opened());
    QVERIFY(!QFile::exists(app.file(QStringLiteral("ini/kezmail.ini"))));
    QVERIFY(form.txtSenderAdress->text().isEmpty());
    QCOMPARE(form.txtTimerTime->text(), QStringLiteral("0"));
    QCOMPARE(Settings.SMTP, QString());
}

void TestWriteFormStartup::completeFileOpensNoDialog()
{
    MainWindowFixture window(testing_support::unloadedWindow(kCompleteSettings));
    WriteForm& form = *window.form;
    SettingsDialogScript script(form, [](frmOpSet1&) {});
    form.Form_Load();
    form.show();
    QTest::qWait(50); // gives the poll a chance to see a dialog that should not be there
    QVERIFY(!script.opened());
    QCOMPARE(form.txtSenderAdress->text(), QStringLiteral("<kez@example.jp>"));
    QCOMPARE(form.txtTimerTime->text(), QStringLiteral("1200"));
    QCOMPARE(aMain_sMail::ScheduleConfirmed, qint16(0));
    QCOMPARE(form.run.SendFlag, qint16(0));
}

void TestWriteFormStartup::incompleteFileOpensDialog()
{
    // Logging on without a path is incomplete.
    MainWindowFixture window(testing_support::unloadedWindow(kCompleteSettings + "SENDLOG=1\r\n"));
    WriteForm& form = *window.form;
    QString shownSmtp;
    SettingsDialogScript script(form, [&shownSmtp](frmOpSet1& dialog) {
        shownSmtp = dialog.txtSmtp->text();
        dialog.close();
    });
    form.Form_Load();
    QVERIFY(script.opened());
    QCOMPARE(shownSmtp, QStringLiteral("smtp.example.jp"));
    // Loading went on with the record as it was.
    QCOMPARE(form.txtSenderAdress->text(), QStringLiteral("<kez@example.jp>"));
}

void TestWriteFormStartup::pop3TimerInterval_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<qint64>("interval");
    QTest::addColumn<int>("popTickCount");

    QTest::newRow("off") << QByteArray("POP3TIME= 0") << qint64(0) << 7;
    QTest::newRow("five") << QByteArray("POP3TIME= 5") << qint64(5000) << 0;
    // Beyond what a 16-bit millisecond count could take.
    QTest::newRow("largest the dialog takes") << QByteArray("POP3TIME= 999") << qint64(999000) << 0;
    QTest::newRow("hand-edited, saturated")
        << QByteArray("POP3TIME=99999") << qint64(32767000) << 0;
}

void TestWriteFormStartup::pop3TimerInterval()
{
    QFETCH(QByteArray, line);
    QFETCH(qint64, interval);
    QFETCH(int, popTickCount);

    MainWindowFixture window(
        testing_support::unloadedWindow(kCompleteSettings + line + "\r\nUSERID=u\r\nIDPAS=p\r\n"));
    WriteForm& form = *window.form;
    form.run.PopTickCount = 7;
    form.Form_Load();
    QCOMPARE(form.Timer2->interval(), interval);
    QVERIFY(!form.Timer2->isEnabled());
    QCOMPARE(int(form.run.PopTickCount), popTickCount);
}

void TestWriteFormStartup::settingsMenuRefreshesInterval()
{
    MainWindowFixture window(testing_support::unloadedWindow(kCompleteSettings));
    auto& fakes = window.fakes;
    WriteForm& form = *window.form;
    form.Form_Load();
    form.show();

    SettingsDialogScript script(form, [](frmOpSet1& dialog) {
        dialog.txtMail->setText(QStringLiteral("new@example.jp"));
        dialog.txtSendSpan->setText(QStringLiteral("800"));
        QTest::mouseClick(dialog.OkCommand, Qt::LeftButton);
    });
    form.mnOption->trigger();
    QVERIFY(script.opened());
    QCOMPARE(form.txtTimerTime->text(), QStringLiteral("800"));
    QCOMPARE(Settings.MAIL, QStringLiteral("new@example.jp"));
    // The sender address shown stays the one of start-up, and so do the timer periods.
    QCOMPARE(form.txtSenderAdress->text(), QStringLiteral("<kez@example.jp>"));
    QCOMPARE(form.Timer1->interval(), qint64(1200));

    // A cancelled dialog refreshes the box from the record as well.
    SettingsDialogScript cancel(form, [](frmOpSet1& dialog) {
        dialog.txtSendSpan->setText(QStringLiteral("100"));
        QTest::mouseClick(dialog.OkCommand, Qt::LeftButton); // refused, record takes 100
        QTest::mouseClick(dialog.CancelCommand, Qt::LeftButton);
    });
    form.mnOption_Click();
    QVERIFY(cancel.opened());
    QCOMPARE(form.txtTimerTime->text(), QStringLiteral("100"));
    QCOMPARE(fakes.boxes().shown.size(), size_t(1));
}

void TestWriteFormStartup::closingWithoutRunEndsProcess()
{
    {
        MainWindowFixture window(testing_support::unloadedWindow(kCompleteSettings));
        auto& fakes = window.fakes;
        WriteForm& form = *window.form;
        form.Form_Load();
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        form.close();
        QVERIFY(fakes.boxes().shown.empty());
        QCOMPARE(fakes.processEnd().calls, 1);
        QVERIFY(form.isUnloaded());
        QVERIFY(!form.isVisible());
        // Nothing runs after the unload, and a second close does not end twice.
        form.close();
        form.nmFile_End_Click();
        QCOMPARE(fakes.processEnd().calls, 1);
    }
    {
        MainWindowFixture window(testing_support::unloadedWindow(kCompleteSettings));
        auto& fakes = window.fakes;
        WriteForm& form = *window.form;
        form.Form_Load();
        form.show();
        form.nmFile_End->trigger();
        QVERIFY(fakes.boxes().shown.empty());
        QCOMPARE(fakes.processEnd().calls, 1);
    }
}

void TestWriteFormStartup::closeBoxDuringRunAsksOnce()
{
    MainWindowFixture window(testing_support::unloadedWindow(kCompleteSettings));
    auto& fakes = window.fakes;
    WriteForm& form = *window.form;
    form.Form_Load();
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    form.run.SendFlag = 1;

    fakes.boxes().answers = {platform::MsgAnswer::No};
    form.close();
    QCOMPARE(fakes.boxes().shown.size(), size_t(1));
    QCOMPARE(fakes.boxes().shown[0].buttons, platform::MsgButtons::YesNo);
    QCOMPARE(fakes.processEnd().calls, 0);
    QVERIFY(form.isVisible());
    QVERIFY(!form.isUnloaded());

    fakes.boxes().answers = {platform::MsgAnswer::Yes};
    form.close();
    QCOMPARE(fakes.boxes().shown.size(), size_t(2));
    QCOMPARE(fakes.processEnd().calls, 1);
    QVERIFY(form.isUnloaded());
    QVERIFY(!form.isVisible());
}

QTEST_MAIN(TestWriteFormStartup)
#include "test_write_form_startup.moc"
