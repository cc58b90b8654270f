// The delivery options dialog as the operator meets it: opened from the settings menu, driven
// by the keyboard, refusing what cannot work with the focus on the box to mend, and showing
// the DNS record of the signing key.
#include "bulk_test_tools.h"
#include "core/bulk/bulk_settings.h"
#include "core/settings/a_main_smail.h"
#include "fakes.h"
#include "gui/bulk_dialog/frm_bulk_set.h"
#include "gui/bulk_dialog/pace_rules_editor.h"
#include "gui_fakes.h"
#include "main_window_fixture.h"
#include "modal_dialogs.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QTabBar>
#include <QTabWidget>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using platform::MsgIcon;
using testing_support::ScopedGuiFakes;
using testing_support::TempAppDir;

namespace {

const QString kIni = QStringLiteral("ini/bulk.ini");

bool showActive(frmBulkSet& dialog)
{
    dialog.show();
    return QTest::qWaitForWindowActive(&dialog);
}

} // namespace

class TestFrmBulkSet : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init()
    {
        aMain_sMail::ResetProcessState();
        aMain_sMail::Settings.MAIL = QStringLiteral("kez@example.jp"); // d= aligns with it
    }
    void cleanup() { testing_support::verifyNoWindowsLeft(); }

    void openedFromTheSettingsMenu();
    void controlsAndTabOrder();
    void accessKeysMoveFocus();
    void missingFileShowsWhatSavingSwitchesOn();
    void damagedFileKeepsWhatWasReadAndAsksBeforeSaving();
    void checks_data();
    void checks();
    void okSavesAndReopens();
    void badPaceRuleRefusedOnItsTab();
    void dnsRecordShownAndCopied();
    void enterPressesOnlyTheFocusedButton();
    void footerTemplateSavedWithItsLines();

private:
    QTemporaryDir m_keys;
    QString m_rsa;
    QString m_shortRsa;
};

void TestFrmBulkSet::initTestCase()
{
    m_rsa = bulk_testing::makeKey(m_keys.path(), QStringLiteral("rsa:2048"));
    m_shortRsa = bulk_testing::makeKey(m_keys.path(), QStringLiteral("rsa:1024"));
    QVERIFY(!m_rsa.isEmpty() && !m_shortRsa.isEmpty());
}

void TestFrmBulkSet::openedFromTheSettingsMenu()
{
    testing_support::MainWindowFixture window(testing_support::unloadedWindow(
        "SMTP=smtp.example.jp\r\nMAIL=kez@example.jp\r\nSENDSPAN= 1000\r\n"));
    auto& fakes = window.fakes;
    auto& app = window.app;
    WriteForm& form = *window.form;
    form.Form_Load();
    form.show();

    // In "設定(&O)", just before the checks of what it sets.
    const QList<QAction*> items = form.mnOptionMenu->actions();
    QCOMPARE(items.value(items.size() - 2), form.mnOption_Bulk);
    QCOMPARE(items.last(), form.mnOption_Preflight);
    QCOMPARE(form.mnOption_Bulk->text(), QStringLiteral("配信オプション(&B)..."));
    QCOMPARE(form.mnOption_Bulk->objectName(), QStringLiteral("mnOption_Bulk"));

    bool modal = false;
    testing_support::NextDialog<frmBulkSet> script([&](frmBulkSet& dialog) {
        modal = dialog.isModal();
        dialog.chkPrecedence->setChecked(false);
        QTest::mouseClick(dialog.OkCommand, Qt::LeftButton);
    });
    form.mnOption_Bulk->trigger();
    QCOMPARE(script.opened(), 1);
    QVERIFY(modal);
    const bulk::LoadedBulkSettings saved = bulk::LoadBulkSettings(app.path());
    QCOMPARE(saved.state, bulk::BulkFileState::Loaded);
    QVERIFY(!saved.settings.precedenceBulk);
    QVERIFY(saved.settings.autoSubmitted);
    // The settings file is not touched.
    QVERIFY(app.read(QStringLiteral("ini/kezmail.ini")).startsWith("SMTP=smtp.example.jp\r\n"));
    QVERIFY(fakes.boxes().shown.empty());
}

void TestFrmBulkSet::controlsAndTabOrder()
{
    ScopedGuiFakes fakes;
    TempAppDir app;
    frmBulkSet dialog(app.path());
    QCOMPARE(dialog.windowTitle(), QStringLiteral("ＫＥＺ－ＭＡＩＬＥＲ　配信オプション"));
    QCOMPARE(dialog.OkCommand->text(), QStringLiteral("設　定"));
    QCOMPARE(dialog.CancelCommand->text(), QStringLiteral("中　止"));
    const std::pair<QGroupBox*, QStringList> frames[] = {
        {dialog.Frame1, {"txtUnsubMailto", "txtUnsubUrl"}},
        {dialog.Frame2, {"chkPrecedence", "chkAutoSubmitted"}},
        {dialog.Frame3, {"chkSuppress", "txtSuppressPath", "cmdSuppressPath", "chkOncePerRun"}},
        {dialog.Frame4,
         {"chkDkim", "txtDkimDomain", "txtDkimSelector", "txtDkimKey", "cmdDkimKey", "txtDnsName",
          "txtDnsValue", "cmdCopyDns"}},
    };
    for (const auto& [frame, names] : frames) {
        for (const QString& name : names) {
            QWidget* child = dialog.findChild<QWidget*>(name);
            QVERIFY2(child && frame->isAncestorOf(child), qPrintable(name));
        }
    }
    for (QLineEdit* edit :
         {dialog.txtUnsubMailto, dialog.txtUnsubUrl, dialog.txtDkimDomain, dialog.txtDkimSelector})
        QVERIFY2(!edit->testAttribute(Qt::WA_InputMethodEnabled), qPrintable(edit->objectName()));
    QVERIFY(dialog.txtDnsName->isReadOnly() && dialog.txtDnsValue->isReadOnly());

    QVERIFY(showActive(dialog));
    QCOMPARE(QApplication::focusWidget(), dialog.txtUnsubMailto);
    // The path and key boxes join the chain once their switch is on.
    dialog.chkSuppress->setChecked(true);
    dialog.chkDkim->setChecked(true);
    const QStringList expected = {
        "txtUnsubMailto", "txtUnsubUrl",         "chkPrecedence",   "chkAutoSubmitted",
        "chkSuppress",    "txtSuppressPath",     "cmdSuppressPath", "chkOncePerRun",
        "chkDkim",        "txtDkimDomain",       "txtDkimSelector", "txtDkimKey",
        "cmdDkimKey",     "txtDnsName",          "txtDnsValue",     "CancelCommand",
        "OkCommand",      "qt_tabwidget_tabbar", "txtUnsubMailto"};
    QStringList seen{QApplication::focusWidget()->objectName()};
    for (qsizetype i = 1; i < expected.size(); ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        seen << QApplication::focusWidget()->objectName();
    }
    // The copy button is left out while there is no record to copy.
    QCOMPARE(seen, expected);
}

void TestFrmBulkSet::accessKeysMoveFocus()
{
    ScopedGuiFakes fakes;
    TempAppDir app;
    app.write(kIni, bulk_testing::completeBulkIni("SUPPRESS=1\nDKIM=1"));
    frmBulkSet dialog(app.path());
    QVERIFY(showActive(dialog));
    const std::pair<Qt::Key, QWidget*> keys[] = {
        {Qt::Key_U, dialog.txtUnsubUrl},    {Qt::Key_L, dialog.txtSuppressPath},
        {Qt::Key_D, dialog.txtDkimDomain},  {Qt::Key_E, dialog.txtDkimSelector},
        {Qt::Key_F, dialog.txtDkimKey},     {Qt::Key_T, dialog.txtDnsName},
        {Qt::Key_M, dialog.txtUnsubMailto},
    };
    for (const auto& [key, target] : keys) {
        QTest::keyClick(&dialog, key, Qt::AltModifier);
        QCOMPARE(QApplication::focusWidget(), target);
    }
    // A check box's own access key toggles it.
    const std::pair<Qt::Key, QCheckBox*> boxes[] = {
        {Qt::Key_P, dialog.chkPrecedence}, {Qt::Key_A, dialog.chkAutoSubmitted},
        {Qt::Key_S, dialog.chkSuppress},   {Qt::Key_N, dialog.chkOncePerRun},
        {Qt::Key_K, dialog.chkDkim},
    };
    for (const auto& [key, box] : boxes) {
        const bool before = box->isChecked();
        QTest::keyClick(&dialog, key, Qt::AltModifier);
        QTRY_COMPARE(box->isChecked(), !before);
    }
    // Switched off by its key, the suppression list's box goes grey.
    QVERIFY(!dialog.txtSuppressPath->isEnabled());
    QVERIFY(!dialog.txtDkimKey->isEnabled());

    // The intake's tab by its key, and its own account's boxes by theirs.
    QTest::keyClick(&dialog, Qt::Key_2, Qt::AltModifier);
    QTRY_COMPARE(dialog.tabOptions->currentWidget(), dialog.pagIntake);
    QTest::keyClick(&dialog, Qt::Key_G, Qt::AltModifier);
    QTRY_VERIFY(dialog.optIntakeOwn->isChecked());
    QTest::keyClick(&dialog, Qt::Key_V, Qt::AltModifier);
    QCOMPARE(QApplication::focusWidget(), dialog.txtIntakeServer);

    // The pace tab by its key, and the carriers' values by theirs.
    QTest::keyClick(&dialog, Qt::Key_3, Qt::AltModifier);
    QTRY_COMPARE(dialog.tabOptions->currentWidget(), dialog.pagPace);
    QCOMPARE(dialog.ctlPaceRules->tblPaceRules->rowCount(), 0);
    QTest::keyClick(&dialog, Qt::Key_R, Qt::AltModifier);
    QTRY_COMPARE(dialog.ctlPaceRules->tblPaceRules->rowCount(),
                 int(pacing::carrierPresets().size()));

    QTest::keyClick(&dialog, Qt::Key_4, Qt::AltModifier);
    QTRY_COMPARE(dialog.tabOptions->currentWidget(), dialog.pagFooter);

    // No key is taken twice anywhere in the dialog, on any tab.
    QStringList texts;
    for (const QAbstractButton* b : dialog.findChildren<QAbstractButton*>())
        texts << b->text();
    for (const QLabel* l : dialog.findChildren<QLabel*>())
        texts << l->text();
    for (int i = 0; i < dialog.tabOptions->count(); ++i)
        texts << dialog.tabOptions->tabText(i);
    QMap<QChar, QString> keyOwners;
    for (const QString& text : texts) {
        const qsizetype amp = text.indexOf(QLatin1Char('&'));
        if (amp < 0 || amp + 1 >= text.size())
            continue;
        const QChar key = text.at(amp + 1).toUpper();
        QVERIFY2(
            !keyOwners.contains(key),
            qPrintable(QStringLiteral("%1: %2 / %3").arg(key).arg(keyOwners.value(key), text)));
        keyOwners.insert(key, text);
    }
}

void TestFrmBulkSet::missingFileShowsWhatSavingSwitchesOn()
{
    ScopedGuiFakes fakes;
    TempAppDir app;
    frmBulkSet dialog(app.path());
    QVERIFY(showActive(dialog));
    QVERIFY(fakes.boxes().shown.empty());
    QVERIFY2(dialog.lblFileState->text().contains(QStringLiteral("１通だけ")),
             qPrintable(dialog.lblFileState->text()));
    QVERIFY(dialog.chkPrecedence->isChecked());
    QVERIFY(dialog.chkAutoSubmitted->isChecked());
    QVERIFY(dialog.chkOncePerRun->isChecked());
    QVERIFY(!dialog.chkSuppress->isChecked() && !dialog.txtSuppressPath->isEnabled() &&
            !dialog.cmdSuppressPath->isEnabled());
    QVERIFY(!dialog.chkDkim->isChecked() && !dialog.txtDkimDomain->isEnabled() &&
            !dialog.cmdDkimKey->isEnabled());
    QVERIFY(dialog.txtUnsubMailto->text().isEmpty() && dialog.txtUnsubUrl->text().isEmpty());
    // Cancel leaves no file behind.
    QTest::mouseClick(dialog.CancelCommand, Qt::LeftButton);
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
    QVERIFY(!QFile::exists(app.file(kIni)));
}

void TestFrmBulkSet::damagedFileKeepsWhatWasReadAndAsksBeforeSaving()
{
    ScopedGuiFakes fakes;
    TempAppDir app;
    const QString list = app.write(QStringLiteral("csv/stop.csv"), "stop@example.jp\r\n");
    const QString url = QStringLiteral("https://example.jp/stop?a={address}");
    // The mailto line saved in code page 932 by a Windows editor; the rest is whole.
    const QByteArray damaged =
        bulk_testing::completeBulkIni("UNSUBURL=" + url.toUtf8() +
                                      "\nSUPPRESS=1\nSUPPRESSPATH=" + list.toUtf8() +
                                      "\nDKIM=1\nDKIMDOMAIN=example.jp\n"
                                      "DKIMSELECTOR=kez\nDKIMKEY=" +
                                      m_rsa.toUtf8() + "\nPRECEDENCE=0")
            .replace("UNSUBMAILTO=", "UNSUBMAILTO=mailto:\x94\x7A\x90\x4D@example.jp");
    app.write(kIni, damaged);
    frmBulkSet dialog(app.path());
    QVERIFY(fakes.boxes().shown.empty()); // said when it opens, not before
    QVERIFY(showActive(dialog));
    QCOMPARE(fakes.boxes().shown.size(), size_t(1));
    const platform::MessageBoxRequest& box = fakes.boxes().shown.front();
    QCOMPARE(box.icon, MsgIcon::Exclamation);
    QVERIFY2(box.text.contains(QDir::toNativeSeparators(app.file(kIni))), qPrintable(box.text));
    QVERIFY2(box.text.contains(QStringLiteral("1行目が UTF-8")), qPrintable(box.text));
    // The readable values are there; the unreadable one is empty, not guessed.
    QCOMPARE(dialog.txtUnsubUrl->text(), url);
    QVERIFY(dialog.txtUnsubMailto->text().isEmpty());
    QVERIFY(!dialog.chkPrecedence->isChecked());
    QVERIFY(dialog.chkSuppress->isChecked());
    QCOMPARE(dialog.txtSuppressPath->text(), list);
    QVERIFY(dialog.chkDkim->isChecked());
    QCOMPARE(dialog.txtDkimDomain->text(), QStringLiteral("example.jp"));
    QCOMPARE(dialog.txtDkimSelector->text(), QStringLiteral("kez"));
    QCOMPARE(dialog.txtDkimKey->text(), m_rsa);
    QVERIFY2(dialog.lblFileState->text().contains(QStringLiteral("壊れています")),
             qPrintable(dialog.lblFileState->text()));
    dialog.hide();
    QVERIFY(showActive(dialog));
    QCOMPARE(fakes.boxes().shown.size(), size_t(1));

    // A save asks first, with No as the default; No keeps the file and the dialog.
    fakes.boxes().shown.clear();
    fakes.boxes().answers.push_back(platform::MsgAnswer::No);
    QTest::mouseClick(dialog.OkCommand, Qt::LeftButton);
    QCOMPARE(fakes.boxes().shown.size(), size_t(1));
    const platform::MessageBoxRequest question = fakes.boxes().shown.front();
    QCOMPARE(question.buttons, platform::MsgButtons::YesNoDefaultNo);
    QCOMPARE(question.icon, MsgIcon::Question);
    QVERIFY2(question.text.contains(QDir::toNativeSeparators(app.file(kIni))),
             qPrintable(question.text));
    QVERIFY(dialog.isVisible());
    QCOMPARE(app.read(kIni), damaged);

    fakes.boxes().answers.push_back(platform::MsgAnswer::Yes);
    QTest::mouseClick(dialog.OkCommand, Qt::LeftButton);
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    const bulk::LoadedBulkSettings saved = bulk::LoadBulkSettings(app.path());
    QCOMPARE(saved.state, bulk::BulkFileState::Loaded);
    QCOMPARE(saved.settings.unsubscribeUrl, url);
    QCOMPARE(saved.settings.suppressionPath, list);
    QCOMPARE(saved.settings.dkimKeyPath, m_rsa);
}

void TestFrmBulkSet::checks_data()
{
    QTest::addColumn<QString>("box");     // the box to fill, by name
    QTest::addColumn<QString>("text");    // what goes in it (@KEY@: a 1024-bit key)
    QTest::addColumn<QString>("message"); // a part of the message
    QTest::addColumn<QString>("focus");

    QTest::newRow("a web address as the mailto") << "txtUnsubMailto"
                                                 << "https://example.jp/stop"
                                                 << "「mailto:」"
                                                 << "txtUnsubMailto";
    QTest::newRow("a misspelt placeholder") << "txtUnsubUrl"
                                            << "https://example.jp/stop?a={Address}"
                                            << "「{Address}」"
                                            << "txtUnsubUrl";
    QTest::newRow("URL without the placeholder") << "txtUnsubUrl"
                                                 << "https://example.jp/stop"
                                                 << "{address} がありません"
                                                 << "txtUnsubUrl";
    QTest::newRow("signing domain not the sender's") << "txtDkimDomain"
                                                     << "example.com"
                                                     << "「example.com」が送信者"
                                                     << "txtDkimDomain";
    QTest::newRow("http instead of https") << "txtUnsubUrl"
                                           << "http://example.jp/s?a={address}"
                                           << "「https://」"
                                           << "txtUnsubUrl";
    QTest::newRow("URL with a Japanese word") << "txtUnsubUrl"
                                              << "https://example.jp/停止?a={address}"
                                              << "「停」"
                                              << "txtUnsubUrl";
    QTest::newRow("suppression list without a path") << "txtSuppressPath"
                                                     << ""
                                                     << "配信停止リストのパスが入力されていません。"
                                                     << "txtSuppressPath";
    QTest::newRow("suppression list missing") << "txtSuppressPath"
                                              << "/nonexistent/stop.csv"
                                              << "/nonexistent/stop.csv"
                                              << "txtSuppressPath";
    QTest::newRow("no signing domain") << "txtDkimDomain"
                                       << ""
                                       << "DKIMの署名ドメインが入力されていません。"
                                       << "txtDkimDomain";
    QTest::newRow("signing domain with a blank") << "txtDkimDomain"
                                                 << "example .jp"
                                                 << "署名ドメインが正しくありません"
                                                 << "txtDkimDomain";
    QTest::newRow("no selector") << "txtDkimSelector"
                                 << ""
                                 << "DKIMのセレクターが入力されていません。"
                                 << "txtDkimSelector";
    QTest::newRow("no key") << "txtDkimKey"
                            << ""
                            << "DKIMの秘密鍵ファイルのパスが入力されていません。"
                            << "txtDkimKey";
    QTest::newRow("a short key") << "txtDkimKey"
                                 << "@KEY@"
                                 << "1024ビット"
                                 << "txtDkimKey";
    QTest::newRow("a misspelt footer placeholder") << "txtFooter"
                                                   << "配信停止：{Unsubscribe_url}"
                                                   << "「{Unsubscribe_url}」"
                                                   << "txtFooter";
}

void TestFrmBulkSet::checks()
{
    QFETCH(QString, box);
    QFETCH(QString, text);
    QFETCH(QString, message);
    QFETCH(QString, focus);
    ScopedGuiFakes fakes;
    TempAppDir app;
    const QString list = app.write(QStringLiteral("csv/stop.csv"), "stop@example.jp\r\n");
    frmBulkSet dialog(app.path());
    QVERIFY(showActive(dialog));
    // Everything valid, then one box spoilt.
    dialog.txtUnsubMailto->setText(QStringLiteral("mailto:stop@example.jp"));
    dialog.txtUnsubUrl->setText(QStringLiteral("https://example.jp/stop?a={address}"));
    dialog.chkSuppress->setChecked(true);
    dialog.txtSuppressPath->setText(list);
    dialog.chkDkim->setChecked(true);
    dialog.txtDkimDomain->setText(QStringLiteral("example.jp"));
    dialog.txtDkimSelector->setText(QStringLiteral("kez"));
    dialog.txtDkimKey->setText(m_rsa);
    if (QLineEdit* edit = dialog.findChild<QLineEdit*>(box))
        edit->setText(QString(text).replace(QLatin1String("@KEY@"), m_shortRsa));
    else
        dialog.txtFooter->setPlainText(text);
    dialog.OkCommand->setFocus();
    QTest::mouseClick(dialog.OkCommand, Qt::LeftButton);

    QCOMPARE(fakes.boxes().shown.size(), size_t(1));
    const platform::MessageBoxRequest& shown = fakes.boxes().shown.front();
    QVERIFY2(shown.text.contains(message), qPrintable(shown.text));
    QCOMPARE(shown.icon, MsgIcon::Exclamation);
    QCOMPARE(shown.caption, std::optional<QString>(QStringLiteral("KEZ-MAILER")));
    QCOMPARE(QApplication::focusWidget()->objectName(), focus);
    QVERIFY(dialog.isVisible());
    QVERIFY(!QFile::exists(app.file(kIni)));
}

void TestFrmBulkSet::okSavesAndReopens()
{
    ScopedGuiFakes fakes;
    TempAppDir app;
    const QString list = app.write(QStringLiteral("csv/停止リスト.csv"), "stop@example.jp\r\n");
    {
        frmBulkSet dialog(app.path());
        QVERIFY(showActive(dialog));
        dialog.txtUnsubMailto->setText(
            QStringLiteral(" mailto:stop@example.jp?subject={address} "));
        dialog.txtUnsubUrl->setText(QStringLiteral("https://example.jp/stop?a={address}"));
        dialog.chkAutoSubmitted->setChecked(false);
        dialog.chkSuppress->setChecked(true);
        fakes.dialogs().answers.push_back(list);
        QTest::mouseClick(dialog.cmdSuppressPath, Qt::LeftButton);
        dialog.chkDkim->setChecked(true);
        dialog.txtDkimDomain->setText(QStringLiteral("example.jp"));
        dialog.txtDkimSelector->setText(QStringLiteral("kez2025"));
        fakes.dialogs().answers.push_back(m_rsa);
        QTest::mouseClick(dialog.cmdDkimKey, Qt::LeftButton);
        QTest::mouseClick(dialog.ctlPaceRules->cmdCarrierPresets, Qt::LeftButton);
        QTest::mouseClick(dialog.OkCommand, Qt::LeftButton);
        for (const platform::MessageBoxRequest& box : fakes.boxes().shown)
            qWarning().noquote() << box.text;
        QVERIFY(fakes.boxes().shown.empty());
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(fakes.dialogs().requests.at(0).initialDir, app.path() + QStringLiteral("/csv"));
        QCOMPARE(fakes.dialogs().requests.at(1).initialDir, app.path() + QStringLiteral("/ini"));
    }
    bulk::BulkSettings expected;
    expected.unsubscribeMailto = QStringLiteral("mailto:stop@example.jp?subject={address}");
    expected.unsubscribeUrl = QStringLiteral("https://example.jp/stop?a={address}");
    expected.precedenceBulk = true;
    expected.oncePerRun = true;
    expected.suppress = true;
    expected.suppressionPath = list;
    expected.dkim = true;
    expected.dkimDomain = QStringLiteral("example.jp");
    expected.dkimSelector = QStringLiteral("kez2025");
    expected.dkimKeyPath = m_rsa;
    expected.paceRules = pacing::carrierPresets();
    const bulk::LoadedBulkSettings saved = bulk::LoadBulkSettings(app.path());
    QCOMPARE(saved.state, bulk::BulkFileState::Loaded);
    QCOMPARE(saved.settings.suppressionPath, expected.suppressionPath);
    QCOMPARE(saved.settings, expected);

    frmBulkSet again(app.path());
    QVERIFY(again.lblFileState->text().isEmpty());
    QCOMPARE(again.txtSuppressPath->text(), list);
    QVERIFY(again.txtSuppressPath->isEnabled());
    QVERIFY(!again.chkAutoSubmitted->isChecked());
    QVERIFY(again.txtDnsValue->text().startsWith(QLatin1String("v=DKIM1; k=rsa; p=")));
}

void TestFrmBulkSet::badPaceRuleRefusedOnItsTab()
{
    ScopedGuiFakes fakes;
    TempAppDir app;
    const QByteArray ini =
        bulk_testing::completeBulkIni() + "PACING=docomo.ne.jp,3,600;*.ne.jp,1,0\r\n";
    app.write(kIni, ini);
    frmBulkSet dialog(app.path());
    QVERIFY(showActive(dialog));
    QTableWidget* table = dialog.ctlPaceRules->tblPaceRules;
    QCOMPARE(table->item(1, 0)->text(), QStringLiteral("*.ne.jp"));
    table->item(1, 1)->setText(QStringLiteral("-1"));
    QTest::mouseClick(dialog.OkCommand, Qt::LeftButton);
    // Refused on its own tab, the bad row current, the file as it was.
    QCOMPARE(fakes.boxes().shown.size(), size_t(1));
    QCOMPARE(dialog.tabOptions->currentWidget(), dialog.pagPace);
    QCOMPARE(QApplication::focusWidget(), table);
    QCOMPARE(table->currentRow(), 1);
    QCOMPARE(app.read(kIni), ini);
}

void TestFrmBulkSet::dnsRecordShownAndCopied()
{
    ScopedGuiFakes fakes;
    TempAppDir app;
    frmBulkSet dialog(app.path());
    QVERIFY(!dialog.cmdCopyDns->isEnabled());
    dialog.txtDkimDomain->setText(QStringLiteral("example.jp"));
    dialog.txtDkimSelector->setText(QStringLiteral("kez2025"));
    dialog.txtDkimKey->setText(m_rsa);
    QCOMPARE(dialog.txtDnsName->text(), QStringLiteral("kez2025._domainkey.example.jp"));
    const QString value = QStringLiteral("v=DKIM1; k=rsa; p=") +
                          QString::fromLatin1(bulk_testing::opensslPublicKey(m_rsa, false));
    QCOMPARE(dialog.txtDnsValue->text(), value);
    QVERIFY(dialog.lblDkimStatus->text().contains(QStringLiteral("2048")));
    QVERIFY(dialog.cmdCopyDns->isEnabled());
    QTest::mouseClick(dialog.cmdCopyDns, Qt::LeftButton);
    QCOMPARE(QApplication::clipboard()->text(), value);

    // A key that will not do: no record, and the reason where the record would be.
    dialog.txtDkimKey->setText(m_shortRsa);
    QVERIFY(dialog.txtDnsName->text().isEmpty() && dialog.txtDnsValue->text().isEmpty());
    QVERIFY(!dialog.cmdCopyDns->isEnabled());
    QVERIFY2(dialog.lblDkimStatus->text().contains(QStringLiteral("1024ビット")),
             qPrintable(dialog.lblDkimStatus->text()));

    // A long message, here the path of a refused key in deep folders, wraps inside its label
    // and its frame instead of running past the edge.
    const QString deep = m_keys.filePath(QStringLiteral("customer-keys/mail-signing-keys-2025/"
                                                        "department-of-sales-and-marketing"));
    QVERIFY(QDir().mkpath(deep));
    const QString longPath = deep + QStringLiteral("/retired-rsa-1024-bit-signing-key.pem");
    QVERIFY(QFile::copy(m_shortRsa, longPath));
    dialog.txtDkimKey->setText(longPath);
    QLabel* status = dialog.lblDkimStatus;
    QVERIFY(status->wordWrap());
    const int needed = status->heightForWidth(status->width());
    QVERIFY2(needed > status->fontMetrics().height(), qPrintable(status->text()));
    QVERIFY2(status->height() >= needed, qPrintable(QString::number(needed)));
    QVERIFY(dialog.Frame4->contentsRect().contains(status->geometry()));
}

void TestFrmBulkSet::enterPressesOnlyTheFocusedButton()
{
    ScopedGuiFakes fakes;
    TempAppDir app;
    frmBulkSet dialog(app.path());
    QVERIFY(showActive(dialog));
    dialog.txtUnsubUrl->setFocus();
    QTest::keyClick(dialog.txtUnsubUrl, Qt::Key_Return);
    QVERIFY(dialog.isVisible());
    QVERIFY(!QFile::exists(app.file(kIni)));
    dialog.OkCommand->setFocus();
    QTest::keyClick(dialog.OkCommand, Qt::Key_Return);
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QVERIFY(QFile::exists(app.file(kIni)));
}

void TestFrmBulkSet::footerTemplateSavedWithItsLines()
{
    ScopedGuiFakes fakes;
    TempAppDir app;
    QString typed;
    {
        frmBulkSet dialog(app.path());
        QVERIFY(showActive(dialog));
        QCOMPARE(dialog.tabOptions->tabText(3), QStringLiteral("表示事項（フッター）(&4)"));
        // Every tab's title shows, with no scroll arrows to find the last one behind.
        QVERIFY(dialog.tabOptions->tabBar()->sizeHint().width() <= dialog.tabOptions->width());
        QCOMPARE(dialog.lblFooter->text(),
                 QStringLiteral("メール末尾に付ける表示事項（フッター）"));
        dialog.txtUnsubMailto->setText(QStringLiteral("mailto:stop@example.jp?body={address}"));
        dialog.tabOptions->setCurrentWidget(dialog.pagFooter);
        // An empty box takes the template at once, the cursor on the first blank.
        QTest::mouseClick(dialog.cmdFooterTemplate, Qt::LeftButton);
        QVERIFY(fakes.boxes().shown.empty());
        const QStringList lines = dialog.txtFooter->toPlainText().split(QLatin1Char('\n'));
        for (const char* item : {"送信者名：", "住所：", "問い合わせ先：", "配信停止の方法："})
            QVERIFY2(lines.filter(QRegularExpression(QLatin1Char('^') + QString::fromUtf8(item)))
                             .size() == 1,
                     item);
        // Only a mailto is set: the template uses the placeholder that will be filled.
        QVERIFY(lines.contains(QStringLiteral("{unsubscribe_mailto}")));
        QCOMPARE(QApplication::focusWidget(), dialog.txtFooter);
        QTest::keyClicks(dialog.txtFooter, QStringLiteral("Kez Co."));
        typed = dialog.txtFooter->toPlainText();
        QVERIFY2(typed.startsWith(QStringLiteral("送信者名：Kez Co.\n住所：")), qPrintable(typed));

        // Typed text is replaced only when the operator says so; No is the default.
        fakes.boxes().answers.push_back(platform::MsgAnswer::No);
        QTest::mouseClick(dialog.cmdFooterTemplate, Qt::LeftButton);
        QCOMPARE(fakes.boxes().shown.size(), size_t(1));
        QCOMPARE(fakes.boxes().shown.front().buttons, platform::MsgButtons::YesNoDefaultNo);
        QCOMPARE(dialog.txtFooter->toPlainText(), typed);
        fakes.boxes().shown.clear();
        QTest::mouseClick(dialog.OkCommand, Qt::LeftButton);
        QVERIFY(fakes.boxes().shown.empty());
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
    }
    QCOMPARE(bulk::LoadBulkSettings(app.path()).settings.footer, typed);
    frmBulkSet again(app.path());
    QCOMPARE(again.txtFooter->toPlainText(), typed);
}

QTEST_MAIN(TestFrmBulkSet)
#include "test_frm_bulk_set.moc"
