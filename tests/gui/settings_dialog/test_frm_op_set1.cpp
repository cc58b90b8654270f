#include "core/platform/text_files.h"
#include "core/settings/a_main_smail.h"
#include "core/settings/settings_file.h"
#include "fakes.h"
#include "gui/settings_dialog/frm_op_set1.h"
#include "gui/widgets/fonts.h"
#include "gui_fakes.h"
#include "modal_dialogs.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/resource.h>
#endif

using aMain_sMail::Settings;
using platform::MsgIcon;
using testing_support::ScopedGuiFakes;
using testing_support::TempAppDir;

namespace {

const QString kCaption = QStringLiteral("KEZ-MAILER");

// A record that passes every check of the OK button.
void fillValidRecord()
{
    aMain_sMail::ResetProcessState();
    Settings.SMTP = QStringLiteral("smtp.example.jp");
    Settings.MAIL = QStringLiteral("kez@example.jp");
    Settings.SENDSPAN = 1000;
}

// Shows the dialog and waits until it has the keyboard, as the operator sees it.
bool showActive(frmOpSet1& dialog)
{
    dialog.show();
    return QTest::qWaitForWindowActive(&dialog);
}

} // namespace

class TestFrmOpSet1 : public QObject
{
    Q_OBJECT

private slots:
    void init() { aMain_sMail::ResetProcessState(); }
    void cleanup() { testing_support::verifyNoWindowsLeft(); }

    void controlsAndTabOrder();
    void accessKeysMoveFocus();
    void fillsFromRecord();
    void switchValuesSurviveUntouched();
    void checks_data();
    void checks();
    void intervalBounds();
    void digitFilter();
    void logEnabling();
    void browse();
    void okSavesAndCloses();
    void refusedOkThenCancel();
    void failedSaveKeepsDialogOpen();
    void enterPressesTheFocusedButtonOnly();
    void allSevenChecksFailingAtOnce();
    void pastedPasswordNeverAddsALine_data();
    void pastedPasswordNeverAddsALine();
    void digitBoxesFromAHandEditedFile();
    void boxesTakeWhatTheFileKeeps();
};

void TestFrmOpSet1::controlsAndTabOrder()
{
    TempAppDir app;
    frmOpSet1 dialog(app.path());
    QCOMPARE(dialog.windowTitle(), QStringLiteral("ＫＥＺ－ＭＡＩＬＥＲ　設定"));
    QCOMPARE(dialog.Frame1->title(), QStringLiteral("接続情報"));
    QCOMPARE(dialog.Frame3->title(), QStringLiteral("配信情報"));
    QCOMPARE(dialog.Frame2->title(), QStringLiteral("ログ情報"));
    QCOMPARE(dialog.Frame4->title(), QStringLiteral("Editer Path"));
    QCOMPARE(dialog.OkCommand->text(), QStringLiteral("設　定"));
    QCOMPARE(dialog.CancelCommand->text(), QStringLiteral("中　止"));
    QCOMPARE(dialog.chkErrLogMsg->text(),
             QStringLiteral("配信エラーが発生した時メセージを表示処理を一時中断する"));

    // Every control sits in its frame and is found by its name.
    const std::pair<QGroupBox*, QStringList> frames[] = {
        {dialog.Frame1, {"txtSmtp", "txtPop3", "txtMail", "txtUserID", "txtPassWord", "ApopCheck"}},
        {dialog.Frame3, {"txtSendSpan", "txtPop3Time"}},
        {dialog.Frame2,
         {"chkSendLog", "cmdSendLog", "txtSendLog", "chkErrLog", "chkErrLogMsg", "cmdErrLog",
          "txtErrLog"}},
        {dialog.Frame4, {"cmdEdit", "txtEditPath"}},
    };
    for (const auto& [frame, names] : frames) {
        for (const QString& name : names) {
            QWidget* child = dialog.findChild<QWidget*>(name);
            QVERIFY2(child, qPrintable(name));
            QVERIFY2(frame->isAncestorOf(child), qPrintable(name));
        }
    }

    QCOMPARE(dialog.txtPassWord->echoMode(), QLineEdit::Password);
    dialog.txtPassWord->setText(QStringLiteral("pa ss"));
    QCOMPARE(dialog.txtPassWord->displayText(), QStringLiteral("*****"));
    dialog.txtPassWord->clear();
    for (QLineEdit* edit : {dialog.txtSmtp, dialog.txtPop3, dialog.txtMail, dialog.txtUserID,
                            dialog.txtPassWord, dialog.txtSendSpan, dialog.txtPop3Time})
        QVERIFY2(!edit->testAttribute(Qt::WA_InputMethodEnabled), qPrintable(edit->objectName()));
    const QFont gothic = shell::gothicFont(9);
    for (QLineEdit* edit :
         {dialog.txtSmtp, dialog.txtPop3, dialog.txtMail, dialog.txtUserID, dialog.txtPassWord,
          dialog.txtSendLog, dialog.txtErrLog, dialog.txtEditPath}) {
        QCOMPARE(edit->font().families(), gothic.families());
        QCOMPARE(edit->font().pointSizeF(), 9.0);
    }
    QCOMPARE(dialog.txtSendSpan->alignment() & Qt::AlignHorizontal_Mask, Qt::AlignRight);
    QCOMPARE(dialog.txtPop3Time->alignment() & Qt::AlignHorizontal_Mask, Qt::AlignRight);

    // Tab walks the controls in their listed order, OK last, starting in the SMTP box.
    QVERIFY(showActive(dialog));
    // Centred on the screen at opening.
    const QRect screen = dialog.screen()->geometry();
    QVERIFY(qAbs(dialog.frameGeometry().center().x() - screen.center().x()) <= 2);
    QVERIFY(qAbs(dialog.frameGeometry().center().y() - screen.center().y()) <= 2);
    QCOMPARE(QApplication::focusWidget(), dialog.txtSmtp);
    // The log boxes take part in the chain only when enabled.
    dialog.chkSendLog->setChecked(true);
    dialog.chkErrLog->setChecked(true);
    const QStringList expected = {"txtSmtp",      "txtPop3",       "txtMail",     "txtUserID",
                                  "txtPassWord",  "ApopCheck",     "txtSendSpan", "txtPop3Time",
                                  "chkSendLog",   "cmdSendLog",    "txtSendLog",  "chkErrLog",
                                  "chkErrLogMsg", "cmdErrLog",     "txtErrLog",   "cmdEdit",
                                  "txtEditPath",  "CancelCommand", "OkCommand",   "txtSmtp"};
    QStringList seen{QApplication::focusWidget()->objectName()};
    for (qsizetype i = 1; i < expected.size(); ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        seen << QApplication::focusWidget()->objectName();
    }
    QCOMPARE(seen, expected);
}

void TestFrmOpSet1::accessKeysMoveFocus()
{
    TempAppDir app;
    Settings.SENDLOG = 1;
    Settings.ERRLOG = 1;
    frmOpSet1 dialog(app.path());
    QVERIFY(showActive(dialog));
    const std::pair<Qt::Key, QWidget*> keys[] = {
        {Qt::Key_M, dialog.txtMail},     {Qt::Key_O, dialog.txtPop3},
        {Qt::Key_U, dialog.txtUserID},   {Qt::Key_P, dialog.txtPassWord},
        {Qt::Key_K, dialog.txtSendSpan}, {Qt::Key_I, dialog.txtPop3Time},
        {Qt::Key_L, dialog.txtSendLog},  {Qt::Key_E, dialog.txtErrLog},
        {Qt::Key_S, dialog.txtSmtp},
    };
    for (const auto& [key, target] : keys) {
        QTest::keyClick(&dialog, key, Qt::AltModifier);
        QCOMPARE(QApplication::focusWidget(), target);
    }
    // The check box's own access key toggles it.
    QTest::keyClick(&dialog, Qt::Key_A, Qt::AltModifier);
    QTRY_VERIFY(dialog.ApopCheck->isChecked());
}

void TestFrmOpSet1::fillsFromRecord()
{
    TempAppDir app;
    {
        // A record at its initial values shows "0" in both number boxes and nothing ticked.
        frmOpSet1 dialog(app.path());
        QCOMPARE(dialog.txtSendSpan->text(), QStringLiteral("0"));
        QCOMPARE(dialog.txtPop3Time->text(), QStringLiteral("0"));
        QVERIFY(dialog.txtSmtp->text().isEmpty());
        for (QCheckBox* box :
             {dialog.ApopCheck, dialog.chkSendLog, dialog.chkErrLog, dialog.chkErrLogMsg})
            QCOMPARE(box->checkState(), Qt::Unchecked);
    }
    Settings.SMTP = QStringLiteral(" smtp ");
    Settings.POP3 = QStringLiteral("pop");
    Settings.MAIL = QStringLiteral("kez@example.jp");
    Settings.USERID = QStringLiteral("user");
    Settings.IDPAS = QStringLiteral("secret ");
    Settings.SENDLOGPAS = QStringLiteral(" 送信.log ");
    Settings.ERRLOGPAS = QStringLiteral("err.log");
    Settings.EDITPATH = QStringLiteral("エディタ.exe");
    Settings.SENDSPAN = 65535; // longer than the box takes; shown whole all the same
    Settings.POP3TIME = 999;
    Settings.APOP = -1;
    Settings.SENDLOG = 1;
    Settings.ERRLOG = 2;
    Settings.ERRLOGMSG = 5;
    frmOpSet1 dialog(app.path());
    QCOMPARE(dialog.txtSmtp->text(), QStringLiteral(" smtp "));
    QCOMPARE(dialog.txtPop3->text(), QStringLiteral("pop"));
    QCOMPARE(dialog.txtMail->text(), QStringLiteral("kez@example.jp"));
    QCOMPARE(dialog.txtUserID->text(), QStringLiteral("user"));
    QCOMPARE(dialog.txtPassWord->text(), QStringLiteral("secret "));
    QCOMPARE(dialog.txtSendLog->text(), QStringLiteral(" 送信.log "));
    QCOMPARE(dialog.txtErrLog->text(), QStringLiteral("err.log"));
    QCOMPARE(dialog.txtEditPath->text(), QStringLiteral("エディタ.exe"));
    QCOMPARE(dialog.txtSendSpan->text(), QStringLiteral("65535"));
    QCOMPARE(dialog.txtPop3Time->text(), QStringLiteral("999"));
    QCOMPARE(dialog.ApopCheck->checkState(), Qt::Checked);
    QCOMPARE(dialog.chkSendLog->checkState(), Qt::Checked);
    QCOMPARE(dialog.chkErrLog->checkState(), Qt::PartiallyChecked);
    QCOMPARE(dialog.chkErrLogMsg->checkState(), Qt::Unchecked);
    QVERIFY(dialog.txtSendLog->isEnabled());
    QVERIFY(!dialog.txtErrLog->isEnabled()); // greyed is not on
}

void TestFrmOpSet1::switchValuesSurviveUntouched()
{
    ScopedGuiFakes fakes;
    TempAppDir app;
    fillValidRecord();
    Settings.APOP = 5;
    Settings.SENDLOG = 2;
    Settings.ERRLOG = 7;
    Settings.ERRLOGMSG = -1;
    {
        frmOpSet1 dialog(app.path());
        dialog.OkCommand_Click();
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
    }
    QCOMPARE(Settings.APOP, qint16(5));
    QCOMPARE(Settings.SENDLOG, qint16(2));
    QCOMPARE(Settings.ERRLOG, qint16(7));
    QCOMPARE(Settings.ERRLOGMSG, qint16(-1));
    QVERIFY(app.read(QStringLiteral("ini/kezmail.ini")).contains("\r\nERRLOG= 7\r\n"));

    // A box the operator changes writes what it now shows.
    Settings.ERRLOGPAS = QStringLiteral("err.log");
    Settings.SENDLOGPAS = QStringLiteral("send.log");
    {
        frmOpSet1 dialog(app.path());
        QVERIFY(showActive(dialog));
        QTest::mouseClick(dialog.ApopCheck, Qt::LeftButton);
        QTest::mouseClick(dialog.chkSendLog, Qt::LeftButton); // greyed → ticked
        QCOMPARE(dialog.chkSendLog->checkState(), Qt::Checked);
        QVERIFY(dialog.txtSendLog->isEnabled());
        QTest::mouseClick(dialog.chkErrLog, Qt::LeftButton);
        QTest::mouseClick(dialog.chkErrLogMsg, Qt::LeftButton);
        dialog.OkCommand_Click();
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
    }
    QCOMPARE(Settings.APOP, qint16(0));
    QCOMPARE(Settings.SENDLOG, qint16(1));
    QCOMPARE(Settings.ERRLOG, qint16(1));
    QCOMPARE(Settings.ERRLOGMSG, qint16(1));
    QVERIFY(fakes.boxes().shown.empty());
}

void TestFrmOpSet1::checks_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("hasCaption");
    QTest::addColumn<QString>("focus");

    QTest::newRow("1 smtp") << "smtp=   "
                            << "SMTPサーバー名が入力されていません。" << true << "txtSmtp";
    QTest::newRow("1 before 2") << "smtp=,mail="
                                << "SMTPサーバー名が入力されていません。" << true << "txtSmtp";
    QTest::newRow("2 mail") << "mail=  "
                            << "メールアドレスが入力されていません。" << true << "txtMail";
    QTest::newRow("3 interval") << "span=299"
                                << "配信間隔が小さすぎます。300以上に設定して下さい。" << true
                                << "txtSendSpan";
    QTest::newRow("4 user id") << "pop=1,user=,pass="
                               << "ユーザIDが入力されていません。" << true << "txtUserID";
    QTest::newRow("5 password") << "pop=1,user=kez,pass= "
                                << "パスワードが入力されていません。" << false << "txtPassWord";
    QTest::newRow("6 send log") << "sendlog,errlog"
                                << "配信ログファイルのパスが入力されていません。" << true
                                << "txtSendLog";
    QTest::newRow("7 error log") << "errlog"
                                 << "配信エラーログファイルのパスが入力されていません。" << true
                                 << "txtErrLog";
}

void TestFrmOpSet1::checks()
{
    QFETCH(QString, setup);
    QFETCH(QString, message);
    QFETCH(bool, hasCaption);
    QFETCH(QString, focus);

    ScopedGuiFakes fakes;
    TempAppDir app;
    fillValidRecord();
    frmOpSet1 dialog(app.path());
    QVERIFY(showActive(dialog));
    for (const QString& step : setup.split(QLatin1Char(','))) {
        const QString key = step.section(QLatin1Char('='), 0, 0);
        const QString value = step.section(QLatin1Char('='), 1);
        if (key == QLatin1String("smtp"))
            dialog.txtSmtp->setText(value);
        else if (key == QLatin1String("mail"))
            dialog.txtMail->setText(value);
        else if (key == QLatin1String("span"))
            dialog.txtSendSpan->setText(value);
        else if (key == QLatin1String("pop"))
            dialog.txtPop3Time->setText(value);
        else if (key == QLatin1String("user"))
            dialog.txtUserID->setText(value);
        else if (key == QLatin1String("pass"))
            dialog.txtPassWord->setText(value);
        else if (key == QLatin1String("sendlog"))
            QTest::mouseClick(dialog.chkSendLog, Qt::LeftButton);
        else if (key == QLatin1String("errlog"))
            QTest::mouseClick(dialog.chkErrLog, Qt::LeftButton);
    }
    dialog.txtPop3->clear(); // never required
    QTest::mouseClick(dialog.OkCommand, Qt::LeftButton);

    QCOMPARE(fakes.boxes().shown.size(), size_t(1));
    const platform::MessageBoxRequest& box = fakes.boxes().shown.front();
    QCOMPARE(box.text, message);
    QCOMPARE(box.icon, MsgIcon::Exclamation);
    QCOMPARE(box.buttons, platform::MsgButtons::Ok);
    if (hasCaption)
        QCOMPARE(box.caption, std::optional<QString>(kCaption));
    else
        QCOMPARE(box.caption, std::optional<QString>());
    QCOMPARE(QApplication::focusWidget()->objectName(), focus);
    QVERIFY(dialog.isVisible());
    QCOMPARE(dialog.result(), 0);
    QVERIFY(!QFile::exists(app.file(QStringLiteral("ini/kezmail.ini"))));
    // The record took the entries before the check refused them.
    QCOMPARE(Settings.SMTP, dialog.txtSmtp->text());
    QCOMPARE(Settings.MAIL, dialog.txtMail->text());
    QCOMPARE(Settings.IDPAS, dialog.txtPassWord->text());
}

void TestFrmOpSet1::intervalBounds()
{
    ScopedGuiFakes fakes;
    TempAppDir app;
    fillValidRecord();
    {
        frmOpSet1 dialog(app.path());
        dialog.txtSendSpan->clear();
        dialog.OkCommand_Click();
        QCOMPARE(fakes.boxes().shown.size(), size_t(1));
        QCOMPARE(Settings.SENDSPAN, 0);
        QCOMPARE(dialog.result(), 0);
    }
    {
        frmOpSet1 dialog(app.path());
        dialog.txtSendSpan->setText(QStringLiteral("300"));
        dialog.txtPop3Time->setText(QStringLiteral("0"));
        dialog.OkCommand_Click();
        QCOMPARE(fakes.boxes().shown.size(), size_t(1));
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(Settings.SENDSPAN, 300);
    }
}

void TestFrmOpSet1::digitFilter()
{
    TempAppDir app;
    frmOpSet1 dialog(app.path());
    QVERIFY(showActive(dialog));
    QLineEdit* span = dialog.txtSendSpan;
    span->clear();
    span->setFocus();
    QTest::keyClicks(span, QStringLiteral("1a-.2 x"));
    // A full-width digit is not one of the ten digits either.
    QTest::sendKeyEvent(QTest::Click, span, Qt::Key_3, QStringLiteral("３"), Qt::NoModifier);
    QCOMPARE(span->text(), QStringLiteral("12"));
    QTest::keyClicks(span, QStringLiteral("3456"));
    QCOMPARE(span->text(), QStringLiteral("1234")); // four digits at most
    QTest::keyClick(span, Qt::Key_Backspace);
    QCOMPARE(span->text(), QStringLiteral("123"));

    // Pasting is held to the same rule.
    span->clear();
    QApplication::clipboard()->setText(QStringLiteral("5-0"));
    QTest::keyClick(span, Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(span->text(), QString());
    QApplication::clipboard()->setText(QStringLiteral("500"));
    QTest::keyClick(span, Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(span->text(), QStringLiteral("500"));
    span->insert(QStringLiteral("12"));
    QCOMPARE(span->text(), QStringLiteral("500")); // would make five digits

    QLineEdit* pop = dialog.txtPop3Time;
    pop->clear();
    pop->setFocus();
    QTest::keyClicks(pop, QStringLiteral("9+9e99"));
    QCOMPARE(pop->text(), QStringLiteral("999"));
    QTest::keyClick(pop, Qt::Key_Backspace);
    QTest::keyClick(pop, Qt::Key_Backspace);
    QCOMPARE(pop->text(), QStringLiteral("9"));
    QApplication::clipboard()->setText(QStringLiteral(" 1"));
    QTest::keyClick(pop, Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(pop->text(), QStringLiteral("9"));
}

void TestFrmOpSet1::logEnabling()
{
    TempAppDir app;
    frmOpSet1 dialog(app.path());
    QVERIFY(showActive(dialog));
    auto sendLogOn = [&] {
        return dialog.txtSendLog->isEnabled() && dialog.cmdSendLog->isEnabled();
    };
    auto sendLogOff = [&] {
        return !dialog.txtSendLog->isEnabled() && !dialog.cmdSendLog->isEnabled();
    };
    auto errLogOn = [&] { return dialog.txtErrLog->isEnabled() && dialog.cmdErrLog->isEnabled(); };
    auto errLogOff = [&] {
        return !dialog.txtErrLog->isEnabled() && !dialog.cmdErrLog->isEnabled();
    };

    QVERIFY(sendLogOff());
    QVERIFY(errLogOff());
    QTest::mouseClick(dialog.chkSendLog, Qt::LeftButton);
    QVERIFY(sendLogOn());
    QVERIFY(errLogOff());
    QTest::mouseClick(dialog.chkErrLog, Qt::LeftButton);
    QVERIFY(errLogOn());
    QTest::mouseClick(dialog.chkSendLog, Qt::LeftButton);
    QVERIFY(sendLogOff());
    QVERIFY(errLogOn());
    // The keyboard toggles as the mouse does.
    dialog.chkErrLog->setFocus();
    QTest::keyClick(dialog.chkErrLog, Qt::Key_Space);
    QVERIFY(errLogOff());
    // The error notice switch never disables anything, nor is it disabled.
    QTest::mouseClick(dialog.chkErrLogMsg, Qt::LeftButton);
    QVERIFY(dialog.chkErrLogMsg->isEnabled());
    QVERIFY(errLogOff());
}

void TestFrmOpSet1::browse()
{
    ScopedGuiFakes fakes;
    TempAppDir app;
    Settings.SENDLOG = 1;
    Settings.ERRLOG = 1;
    Settings.ERRLOGPAS = QStringLiteral("kept.log");
    frmOpSet1 dialog(app.path());
    QDir::setCurrent(QDir::tempPath());
    fakes.dialogs().answers = {QStringLiteral("  /var/log/送信 ログ.log  "), std::nullopt,
                               QStringLiteral("/usr/bin/editor "),
                               QStringLiteral("/opt/My Editor/edit")};
    QTest::mouseClick(dialog.cmdSendLog, Qt::LeftButton);
    QTest::mouseClick(dialog.cmdErrLog, Qt::LeftButton);
    QTest::mouseClick(dialog.cmdEdit, Qt::LeftButton);

    QCOMPARE(dialog.txtSendLog->text(), QStringLiteral("/var/log/送信 ログ.log"));
    QCOMPARE(dialog.txtErrLog->text(), QStringLiteral("kept.log"));
    QCOMPARE(dialog.txtEditPath->text(), QStringLiteral("/usr/bin/editor"));
    // A program path with a blank is kept whole by quotes; the log paths are paths, not
    // command lines.
    QTest::mouseClick(dialog.cmdEdit, Qt::LeftButton);
    QCOMPARE(dialog.txtEditPath->text(), QStringLiteral("\"/opt/My Editor/edit\""));

    const auto& requests = fakes.dialogs().requests;
    QCOMPARE(requests.size(), size_t(4));
    const QString log = QStringLiteral("Log(*.log)|*.log|CSV(*.csv)|*.csv|ALL(*.*)|*.*");
    QCOMPARE(requests[0].filter, log);
    QCOMPARE(requests[1].filter, log);
    QCOMPARE(requests[2].filter, QStringLiteral("EXE(*.exe)|*.exe|ALL(*.*)|*.*"));
    QCOMPARE(QDir(requests[0].initialDir), QDir(app.file(QStringLiteral("log"))));
    QCOMPARE(QDir(requests[1].initialDir), QDir(app.file(QStringLiteral("log"))));
    QCOMPARE(QDir(requests[2].initialDir), QDir(app.path()));
    QCOMPARE(requests[3].filter, requests[2].filter);
    for (const platform::OpenFileRequest& request : requests)
        QCOMPARE(request.flags, platform::kHideReadOnly);
    QCOMPARE(QDir(QDir::currentPath()).canonicalPath(), QDir(app.path()).canonicalPath());
}

void TestFrmOpSet1::okSavesAndCloses()
{
    ScopedGuiFakes fakes;
    TempAppDir app;
    frmOpSet1 dialog(app.path());
    QSignalSpy accepted(&dialog, &QDialog::accepted);
    QVERIFY(showActive(dialog));
    QTest::keyClicks(dialog.txtSmtp, QStringLiteral("smtp.example.jp"));
    QTest::keyClicks(dialog.txtMail, QStringLiteral("kez@example.jp"));
    dialog.txtSendSpan->selectAll();
    QTest::keyClicks(dialog.txtSendSpan, QStringLiteral("1500"));
    QTest::mouseClick(dialog.chkSendLog, Qt::LeftButton);
    QTest::keyClicks(dialog.txtSendLog, QStringLiteral("  send.log "));
    QTest::keyClicks(dialog.txtPassWord, QStringLiteral("a=b "));
    QTest::mouseClick(dialog.OkCommand, Qt::LeftButton);

    QVERIFY(fakes.boxes().shown.empty());
    QCOMPARE(accepted.count(), 1);
    QVERIFY(!dialog.isVisible());
    QCOMPARE(Settings.SENDSPAN, 1500);
    QCOMPARE(Settings.SENDLOGPAS, QStringLiteral("  send.log "));
    const QByteArray file = app.read(QStringLiteral("ini/kezmail.ini"));
    QVERIFY(file.contains("\r\nSMTP=smtp.example.jp\r\n"));
    QVERIFY(file.contains("\r\nIDPAS=a=b \r\n"));
    QVERIFY(file.contains("\r\nSENDLOG= 1\r\nSENDLOGPAS=send.log\r\n"));
    QVERIFY(file.endsWith("\r\nSENDSPAN= 1500\r\nPOP3TIME= 0\r\n"));

    // Cancel and the close box never write.
    const QByteArray before = file;
    for (int way = 0; way < 2; ++way) {
        frmOpSet1 again(app.path());
        QSignalSpy rejected(&again, &QDialog::rejected);
        QVERIFY(showActive(again));
        again.txtSmtp->setText(QStringLiteral("changed"));
        if (way == 0)
            QTest::mouseClick(again.CancelCommand, Qt::LeftButton);
        else
            again.close();
        QCOMPARE(rejected.count(), 1);
        QVERIFY(!again.isVisible());
    }
    QCOMPARE(app.read(QStringLiteral("ini/kezmail.ini")), before);
    QCOMPARE(Settings.SMTP, QStringLiteral("smtp.example.jp"));
}

void TestFrmOpSet1::refusedOkThenCancel()
{
    ScopedGuiFakes fakes;
    TempAppDir app;
    const QByteArray old = "SMTP=old.example.jp\r\nMAIL=old@example.jp\r\nSENDSPAN= 500\r\n";
    app.write(QStringLiteral("ini/kezmail.ini"), old);
    QVERIFY(aMain_sMail::LoadSettings(app.path()));
    {
        frmOpSet1 dialog(app.path());
        dialog.txtSmtp->setText(QStringLiteral("new.example.jp"));
        dialog.txtSendSpan->setText(QStringLiteral("100"));
        dialog.OkCommand_Click();
        QCOMPARE(fakes.boxes().shown.size(), size_t(1));
        dialog.CancelCommand_Click();
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
    }
    QCOMPARE(app.read(QStringLiteral("ini/kezmail.ini")), old);
    QCOMPARE(Settings.SMTP, QStringLiteral("new.example.jp"));
    QCOMPARE(Settings.SENDSPAN, 100);
    frmOpSet1 reopened(app.path());
    QCOMPARE(reopened.txtSmtp->text(), QStringLiteral("new.example.jp"));
    QCOMPARE(reopened.txtSendSpan->text(), QStringLiteral("100"));
}

void TestFrmOpSet1::failedSaveKeepsDialogOpen()
{
    ScopedGuiFakes fakes;
    {
        // No place for the file: the ini folder is a file.
        TempAppDir app;
        QVERIFY(QDir(app.file(QStringLiteral("ini"))).removeRecursively());
        app.write(QStringLiteral("ini"), "x");
        fillValidRecord();
        frmOpSet1 dialog(app.path());
        QVERIFY(showActive(dialog));
        dialog.txtUserID->setText(QStringLiteral("typed"));
        QTest::mouseClick(dialog.OkCommand, Qt::LeftButton);
        QCOMPARE(fakes.boxes().shown.size(), size_t(1));
        const platform::MessageBoxRequest& box = fakes.boxes().shown.back();
        QCOMPARE(box.icon, MsgIcon::Critical);
        QCOMPARE(box.caption, std::optional<QString>(kCaption));
        QVERIFY2(box.text.contains(
                     QDir::toNativeSeparators(app.file(QStringLiteral("ini/kezmail.ini")))),
                 qPrintable(box.text));
        QVERIFY(dialog.isVisible());
        QCOMPARE(dialog.result(), 0);
        QCOMPARE(dialog.txtUserID->text(), QStringLiteral("typed"));
    }
    {
        // A path that code page 932 cannot hold: refused, focus on its box, old file intact.
        TempAppDir app;
        const QByteArray old = "SMTP=old\r\nMAIL=old@example.jp\r\nSENDSPAN= 500\r\n";
        app.write(QStringLiteral("ini/kezmail.ini"), old);
        fillValidRecord();
        frmOpSet1 dialog(app.path());
        QVERIFY(showActive(dialog));
        dialog.txtEditPath->setText(QStringLiteral("/opt/\u00e9diteur/bin"));
        QTest::mouseClick(dialog.OkCommand, Qt::LeftButton);
        QCOMPARE(fakes.boxes().shown.size(), size_t(2));
        const platform::MessageBoxRequest& box = fakes.boxes().shown.back();
        QCOMPARE(box.icon, MsgIcon::Critical);
        QVERIFY2(box.text.contains(QStringLiteral("Editer Path")), qPrintable(box.text));
        QCOMPARE(QApplication::focusWidget(), dialog.txtEditPath);
        QVERIFY(dialog.isVisible());
        QCOMPARE(app.read(QStringLiteral("ini/kezmail.ini")), old);
        QCOMPARE(dialog.txtEditPath->text(), QStringLiteral("/opt/\u00e9diteur/bin"));
    }
#ifdef Q_OS_UNIX
    {
        // The disk gives out part-way through (a file size limit binds root too).
        TempAppDir app;
        const QByteArray old = "SMTP=old\r\nMAIL=old@example.jp\r\nSENDSPAN= 500\r\n";
        app.write(QStringLiteral("ini/kezmail.ini"), old);
        fillValidRecord();
        frmOpSet1 dialog(app.path());
        dialog.txtSmtp->setText(QStringLiteral("typed.example.jp"));
        rlimit saved{};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
        const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit small = saved;
        small.rlim_cur = 20;
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
        dialog.OkCommand_Click();
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, previousHandler);
        QCOMPARE(fakes.boxes().shown.size(), size_t(3));
        QCOMPARE(fakes.boxes().shown.back().icon, MsgIcon::Critical);
        QCOMPARE(dialog.result(), 0);
        QCOMPARE(app.read(QStringLiteral("ini/kezmail.ini")), old);
        QCOMPARE(dialog.txtSmtp->text(), QStringLiteral("typed.example.jp"));
    }
#endif
}

void TestFrmOpSet1::enterPressesTheFocusedButtonOnly()
{
    ScopedGuiFakes fakes;
    TempAppDir app;
    fillValidRecord();
    {
        frmOpSet1 dialog(app.path());
        QVERIFY(showActive(dialog));
        for (QPushButton* button : dialog.findChildren<QPushButton*>()) {
            QVERIFY2(!button->isDefault(), qPrintable(button->objectName()));
            QVERIFY2(!button->autoDefault(), qPrintable(button->objectName()));
        }
        for (QWidget* box :
             {static_cast<QWidget*>(dialog.txtSmtp), static_cast<QWidget*>(dialog.txtSendSpan),
              static_cast<QWidget*>(dialog.ApopCheck)}) {
            box->setFocus();
            QTest::keyClick(box, Qt::Key_Return);
            QTest::keyClick(box, Qt::Key_Enter);
        }
        QVERIFY(dialog.isVisible());
        QCOMPARE(dialog.result(), 0);
        QVERIFY(fakes.boxes().shown.empty());
        QVERIFY(!QFile::exists(app.file(QStringLiteral("ini/kezmail.ini"))));

        // On 中止 it cancels.
        dialog.CancelCommand->setFocus();
        QTest::keyClick(dialog.CancelCommand, Qt::Key_Return);
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
        QVERIFY(!dialog.isVisible());
    }
    QVERIFY(!QFile::exists(app.file(QStringLiteral("ini/kezmail.ini"))));
    {
        // On 設定 it saves, reached by Tab from the cancel button as the operator would.
        frmOpSet1 dialog(app.path());
        QVERIFY(showActive(dialog));
        dialog.CancelCommand->setFocus();
        QTest::keyClick(dialog.CancelCommand, Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), dialog.OkCommand);
        QTest::keyClick(dialog.OkCommand, Qt::Key_Enter, Qt::KeypadModifier);
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
    }
    QVERIFY(fakes.boxes().shown.empty());
    QVERIFY(app.read(QStringLiteral("ini/kezmail.ini")).contains("\r\nSMTP=smtp.example.jp\r\n"));
}

void TestFrmOpSet1::allSevenChecksFailingAtOnce()
{
    // As on every first start, then with more wrong than a neighbouring pair: each OK shows
    // only the first failing check, and mending that one brings up the next in order.
    ScopedGuiFakes fakes;
    TempAppDir app;
    Settings.POP3TIME = 1;
    Settings.SENDLOG = 1;
    Settings.ERRLOG = 1;
    frmOpSet1 dialog(app.path());
    QVERIFY(showActive(dialog));
    QCOMPARE(dialog.txtSendSpan->text(), QStringLiteral("0"));

    const struct
    {
        const char* message;
        QLineEdit* focus;
        QString mend;
    } order[] = {
        {"SMTPサーバー名が入力されていません。", dialog.txtSmtp, "smtp.example.jp"},
        {"メールアドレスが入力されていません。", dialog.txtMail, "kez@example.jp"},
        {"配信間隔が小さすぎます。300以上に設定して下さい。", dialog.txtSendSpan, "300"},
        {"ユーザIDが入力されていません。", dialog.txtUserID, "kez"},
        {"パスワードが入力されていません。", dialog.txtPassWord, "secret"},
        {"配信ログファイルのパスが入力されていません。", dialog.txtSendLog, "send.log"},
        {"配信エラーログファイルのパスが入力されていません。", dialog.txtErrLog, "err.log"},
    };
    size_t shown = 0;
    for (const auto& step : order) {
        QTest::mouseClick(dialog.OkCommand, Qt::LeftButton);
        QCOMPARE(fakes.boxes().shown.size(), ++shown);
        QCOMPARE(fakes.boxes().shown.back().text, QString::fromUtf8(step.message));
        QCOMPARE(QApplication::focusWidget(), step.focus);
        QVERIFY(!QFile::exists(app.file(QStringLiteral("ini/kezmail.ini"))));
        step.focus->selectAll();
        QTest::keyClicks(step.focus, step.mend);
    }
    QTest::mouseClick(dialog.OkCommand, Qt::LeftButton);
    QCOMPARE(fakes.boxes().shown.size(), shown);
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
}

void TestFrmOpSet1::pastedPasswordNeverAddsALine_data()
{
    QTest::addColumn<QString>("pasted");
    QTest::addColumn<QString>("saved"); // the IDPAS line's value; empty: the save is refused

    QTest::newRow("a key after CR LF") << "secret\r\nSMTP=evil.example"
                                       << "secret";
    QTest::newRow("a key after LF") << "secret\nSMTP=evil.example"
                                    << "secret";
    QTest::newRow("a key after CR") << "secret\rSMTP=evil.example"
                                    << "secret";
    QTest::newRow("trailing line break") << "secret\r\n"
                                         << "secret";
    QTest::newRow("several lines") << "a\nb\nc\nMAIL=x@evil.example\n"
                                   << "a";
    // A tab is no line break: the box keeps it, and the save names the field.
    QTest::newRow("tab") << "sec\tret"
                         << "";
}

void TestFrmOpSet1::pastedPasswordNeverAddsALine()
{
    QFETCH(QString, pasted);
    QFETCH(QString, saved);

    ScopedGuiFakes fakes;
    TempAppDir app;
    const QByteArray old = "SMTP=smtp.example.jp\r\nMAIL=kez@example.jp\r\nSENDSPAN= 1000\r\n";
    app.write(QStringLiteral("ini/kezmail.ini"), old);
    QVERIFY(aMain_sMail::LoadSettings(app.path()));
    frmOpSet1 dialog(app.path());
    QVERIFY(showActive(dialog));
    dialog.txtPassWord->setFocus();
    QApplication::clipboard()->setText(pasted);
    QTest::keyClick(dialog.txtPassWord, Qt::Key_V, Qt::ControlModifier);
    QTest::mouseClick(dialog.OkCommand, Qt::LeftButton);

    const QByteArray file = app.read(QStringLiteral("ini/kezmail.ini"));
    if (saved.isEmpty()) {
        QCOMPARE(fakes.boxes().shown.size(), size_t(1));
        QVERIFY2(fakes.boxes().shown[0].text.contains(QStringLiteral("パスワード")),
                 qPrintable(fakes.boxes().shown[0].text));
        QCOMPARE(QApplication::focusWidget(), dialog.txtPassWord);
        QVERIFY(dialog.isVisible());
        QCOMPARE(file, old);
        return;
    }
    QVERIFY(fakes.boxes().shown.empty());
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    // Read as any reader would: fourteen lines, each ended by CR LF, no other break.
    QVERIFY(file.endsWith("\r\n"));
    const QList<QByteArray> lines = file.chopped(1).split('\n');
    QCOMPARE(lines.size(), 14);
    QStringList keys;
    for (const QByteArray& line : lines) {
        QVERIFY2(line.endsWith('\r') && line.count('\r') == 1, line.constData());
        keys << QString::fromLatin1(line.left(line.indexOf('=')));
    }
    QCOMPARE(keys, QStringList({"EDITPATH", "SMTP", "POP3", "MAIL", "USERID", "IDPAS", "APOP",
                                "SENDLOG", "SENDLOGPAS", "ERRLOG", "ERRLOGMSG", "ERRLOGPAS",
                                "SENDSPAN", "POP3TIME"}));
    QCOMPARE(lines[1], QByteArray("SMTP=smtp.example.jp\r"));
    QCOMPARE(lines[5], "IDPAS=" + saved.toLatin1() + "\r");
}

void TestFrmOpSet1::digitBoxesFromAHandEditedFile()
{
    ScopedGuiFakes fakes;
    TempAppDir app;
    fillValidRecord();
    Settings.SENDSPAN = 99999;
    Settings.POP3TIME = -1;
    frmOpSet1 dialog(app.path());
    QVERIFY(showActive(dialog));
    QCOMPARE(dialog.txtSendSpan->text(), QStringLiteral("99999"));
    QCOMPARE(dialog.txtPop3Time->text(), QStringLiteral("-1"));
    for (QLineEdit* box : {dialog.txtSendSpan, dialog.txtPop3Time}) {
        box->setFocus();
        box->end(false);
        QTest::keyClicks(box, QStringLiteral("x-.a "));
        box->home(false);
        QTest::keyClicks(box, QStringLiteral("b-"));
    }
    QCOMPARE(dialog.txtSendSpan->text(), QStringLiteral("99999"));
    QCOMPARE(dialog.txtPop3Time->text(), QStringLiteral("-1"));
    // Digits still go in where the length allows; the value is the operator's to mend.
    dialog.txtPop3Time->end(false);
    QTest::keyClicks(dialog.txtPop3Time, QStringLiteral("5"));
    QCOMPARE(dialog.txtPop3Time->text(), QStringLiteral("-15"));
    dialog.txtSendSpan->selectAll();
    QTest::keyClicks(dialog.txtSendSpan, QStringLiteral("1500"));
    QCOMPARE(dialog.txtSendSpan->text(), QStringLiteral("1500"));
}

void TestFrmOpSet1::boxesTakeWhatTheFileKeeps()
{
    ScopedGuiFakes fakes;
    TempAppDir app;
    fillValidRecord();
    Settings.SENDLOG = 1;
    frmOpSet1 dialog(app.path());
    QVERIFY(showActive(dialog));
    dialog.txtSmtp->clear();
    QTest::keyClicks(dialog.txtSmtp, QString(101, 'h'));
    QCOMPARE(dialog.txtSmtp->text(), QString(100, 'h'));

    // A chosen path the box cannot hold whole is refused, not cut into another path.
    const QString longPath = "/var/log/" + QString(92, 'l') + ".log"; // 105 characters
    fakes.dialogs().answers = {longPath, QStringLiteral("/var/log/send.log")};
    dialog.txtSendLog->setText(QStringLiteral("kept.log"));
    QTest::mouseClick(dialog.cmdSendLog, Qt::LeftButton);
    QCOMPARE(dialog.txtSendLog->text(), QStringLiteral("kept.log"));
    QCOMPARE(fakes.boxes().shown.size(), size_t(1));
    const platform::MessageBoxRequest& box = fakes.boxes().shown[0];
    QCOMPARE(box.icon, MsgIcon::Exclamation);
    QVERIFY2(box.text.contains(QStringLiteral("100文字")) && box.text.contains(longPath),
             qPrintable(box.text));
    QTest::mouseClick(dialog.cmdSendLog, Qt::LeftButton);
    QCOMPARE(dialog.txtSendLog->text(), QStringLiteral("/var/log/send.log"));

    dialog.OkCommand_Click();
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    aMain_sMail::ResetProcessState();
    QVERIFY(aMain_sMail::LoadSettings(app.path()));
    QCOMPARE(Settings.SMTP, QString(100, 'h'));
}

QTEST_MAIN(TestFrmOpSet1)
#include "test_frm_op_set1.moc"
