#include "gui/settings_dialog/frm_op_set1.h"

#include "core/platform/process_launcher.h"
#include "core/settings/a_main_smail.h"
#include "core/settings/settings_file.h"
#include "core/text/trim.h"
#include "gui/platform/file_dialogs.h"
#include "gui/platform/message_boxes.h"
#include "gui/widgets/center_form.h"
#include "gui/widgets/controls.h"
#include "gui/widgets/fonts.h"
#include "gui/widgets/twips.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProxyStyle>
#include <QPushButton>

#include <iterator>
#include <optional>
#include <utility>

using aMain_sMail::Settings;
using shell::placeTwips;

using shell::imeOff;
using shell::makeButton;
using shell::makeCheck;
using shell::makeEdit;
using shell::makeFrame;
using shell::makeLabel;

namespace {

const QString kLogFilter = QStringLiteral("Log(*.log)|*.log|CSV(*.csv)|*.csv|ALL(*.*)|*.*");
const QString kExeFilter = QStringLiteral("EXE(*.exe)|*.exe|ALL(*.*)|*.*");

// The three-state switches: 1 ticked, 2 greyed, anything else unticked.
Qt::CheckState switchState(qint16 value)
{
    if (value == 1)
        return Qt::Checked;
    if (value == 2)
        return Qt::PartiallyChecked;
    return Qt::Unchecked;
}

qint16 switchValue(Qt::CheckState state)
{
    switch (state) {
    case Qt::Checked: return 1;
    case Qt::PartiallyChecked: return 2;
    case Qt::Unchecked: break;
    }
    return 0;
}

void showSwitch(QCheckBox* box, qint16 value)
{
    const Qt::CheckState state = switchState(value);
    box->setTristate(state == Qt::PartiallyChecked);
    box->setCheckState(state);
}

// A greyed box came from the file; once the operator clicks it, it is an ordinary two-state
// box (greyed → ticked → unticked).
void dropGreyOnClick(QCheckBox* box)
{
    QObject::connect(box, &QCheckBox::clicked, box, [box] { box->setTristate(false); });
}

// Masks the password with "*" whatever the platform's own mask character is.
class AsteriskMaskStyle : public QProxyStyle
{
public:
    using QProxyStyle::QProxyStyle;
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* returnData) const override
    {
        if (hint == SH_LineEdit_PasswordCharacter)
            return '*';
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }
};

} // namespace

frmOpSet1::frmOpSet1(const QString& appDir, QWidget* parent) : QDialog(parent), m_appDir(appDir)
{
    setObjectName(QStringLiteral("frmOpSet1"));
    setWindowTitle(QStringLiteral("ＫＥＺ－ＭＡＩＬＥＲ　設定"));
    setModal(true);
    setFont(shell::pGothicFont(9));
    buildControls();

    connect(OkCommand, &QPushButton::clicked, this, &frmOpSet1::OkCommand_Click);
    connect(CancelCommand, &QPushButton::clicked, this, &frmOpSet1::CancelCommand_Click);
    connect(chkSendLog, &QCheckBox::stateChanged, this, &frmOpSet1::chkSendLog_Click);
    connect(chkErrLog, &QCheckBox::stateChanged, this, &frmOpSet1::chkErrLog_Click);
    connect(cmdSendLog, &QPushButton::clicked, this, &frmOpSet1::cmdSendLog_Click);
    connect(cmdErrLog, &QPushButton::clicked, this, &frmOpSet1::cmdErrLog_Click);
    connect(cmdEdit, &QPushButton::clicked, this, &frmOpSet1::cmdEdit_Click);
    for (QCheckBox* box : {chkSendLog, chkErrLog, chkErrLogMsg})
        dropGreyOnClick(box);

    Form_Load();
}

void frmOpSet1::buildControls()
{
    setFixedSize(shell::twipsToPixels(this, 9960), shell::twipsToPixels(this, 5820));
    const QFont boxFont = shell::gothicFont(9);

    // Connection, the left column.
    Frame1 = makeFrame(this, "Frame1", QStringLiteral("接続情報"));
    placeTwips(Frame1, 120, 120, 4200, 4980);
    struct Field
    {
        QLabel*& label;
        const char* labelName;
        QString caption;
        QLineEdit*& edit;
        const char* editName;
    };
    const Field fields[] = {
        {lblSmtp, "lblSmtp", QStringLiteral("SMTPサーバー名(&S)"), txtSmtp, "txtSmtp"},
        {lblPop3, "lblPop3", QStringLiteral("POP3サーバー名(&O)"), txtPop3, "txtPop3"},
        {lblMail, "lblMail", QStringLiteral("メールアドレス(&M)"), txtMail, "txtMail"},
        {lblUserID, "lblUserID", QStringLiteral("ユーザＩＤ(&U)"), txtUserID, "txtUserID"},
        {lblPassWord, "lblPassWord", QStringLiteral("パスワード(&P)"), txtPassWord, "txtPassWord"},
    };
    int top = 360;
    for (const Field& field : fields) {
        field.label = makeLabel(Frame1, field.labelName, field.caption);
        placeTwips(field.label, 120, top, 3900, 240);
        field.edit = makeEdit(Frame1, field.editName);
        placeTwips(field.edit, 120, top + 240, 3900, 300);
        field.edit->setFont(boxFont);
        field.label->setBuddy(field.edit);
        top += 840;
    }
    txtPassWord->setEchoMode(QLineEdit::Password);
    auto* maskStyle = new AsteriskMaskStyle;
    maskStyle->setParent(this);
    txtPassWord->setStyle(maskStyle);
    // After the echo mode, which switches the input method back on by itself.
    for (QLineEdit* edit : {txtSmtp, txtPop3, txtMail, txtUserID, txtPassWord})
        imeOff(edit);
    ApopCheck = makeCheck(Frame1, "ApopCheck", QStringLiteral("APOP を使用する(&A)"));
    placeTwips(ApopCheck, 120, top + 60, 3900, 300);

    // Delivery.
    Frame3 = makeFrame(this, "Frame3", QStringLiteral("配信情報"));
    placeTwips(Frame3, 4440, 120, 5400, 1350);
    lblSendSpan = makeLabel(Frame3, "lblSendSpan", QStringLiteral("配信間隔(&K)"));
    placeTwips(lblSendSpan, 120, 390, 1920, 270);
    txtSendSpan = shell::makeDigitEdit(Frame3, "txtSendSpan", 4);
    placeTwips(txtSendSpan, 2100, 360, 800, 300);
    lblSendSpanUnit = makeLabel(Frame3, "lblSendSpanUnit", QStringLiteral("/1000秒"));
    placeTwips(lblSendSpanUnit, 2960, 390, 1200, 270);
    lblPop3Time = makeLabel(Frame3, "lblPop3Time", QStringLiteral("ＰＯＰ３承認間隔(&I)"));
    placeTwips(lblPop3Time, 120, 750, 1920, 270);
    txtPop3Time = shell::makeDigitEdit(Frame3, "txtPop3Time", 3);
    placeTwips(txtPop3Time, 2100, 720, 800, 300);
    lblPop3TimeUnit = makeLabel(Frame3, "lblPop3TimeUnit", QStringLiteral("分"));
    placeTwips(lblPop3TimeUnit, 2960, 750, 600, 270);
    lblPop3TimeNote = makeLabel(Frame3, "lblPop3TimeNote",
                                QStringLiteral("0を指定するとＰＯＰ３承認は行いません"));
    placeTwips(lblPop3TimeNote, 120, 1050, 5160, 240);
    lblSendSpan->setBuddy(txtSendSpan);
    lblPop3Time->setBuddy(txtPop3Time);

    // Logs.
    Frame2 = makeFrame(this, "Frame2", QStringLiteral("ログ情報"));
    placeTwips(Frame2, 4440, 1560, 5400, 2670);
    chkSendLog = makeCheck(Frame2, "chkSendLog", QStringLiteral("配信アドレスのログを記録する"));
    placeTwips(chkSendLog, 120, 360, 5160, 270);
    lblSendLog = makeLabel(Frame2, "lblSendLog", QStringLiteral("ログファイルのパス(&L)"));
    placeTwips(lblSendLog, 120, 690, 2400, 240);
    cmdSendLog = makeButton(Frame2, "cmdSendLog", QStringLiteral("...."));
    placeTwips(cmdSendLog, 4860, 660, 420, 270);
    txtSendLog = makeEdit(Frame2, "txtSendLog");
    placeTwips(txtSendLog, 120, 960, 5160, 300);
    chkErrLog =
        makeCheck(Frame2, "chkErrLog", QStringLiteral("配信エラーアドレスのログを記録する"));
    placeTwips(chkErrLog, 120, 1350, 5160, 270);
    chkErrLogMsg =
        makeCheck(Frame2, "chkErrLogMsg",
                  QStringLiteral("配信エラーが発生した時メセージを表示処理を一時中断する"));
    placeTwips(chkErrLogMsg, 120, 1650, 5160, 270);
    lblErrLog = makeLabel(Frame2, "lblErrLog", QStringLiteral("ログファイルのパス(&E)"));
    placeTwips(lblErrLog, 120, 1980, 2400, 240);
    cmdErrLog = makeButton(Frame2, "cmdErrLog", QStringLiteral("...."));
    placeTwips(cmdErrLog, 4860, 1950, 420, 270);
    txtErrLog = makeEdit(Frame2, "txtErrLog");
    placeTwips(txtErrLog, 120, 2250, 5160, 300);
    lblSendLog->setBuddy(txtSendLog);
    lblErrLog->setBuddy(txtErrLog);

    // Editor.
    Frame4 = makeFrame(this, "Frame4", QStringLiteral("Editer Path"));
    placeTwips(Frame4, 4440, 4320, 5400, 780);
    cmdEdit = makeButton(Frame4, "cmdEdit", QStringLiteral("...."));
    placeTwips(cmdEdit, 4860, 360, 420, 300);
    txtEditPath = makeEdit(Frame4, "txtEditPath");
    placeTwips(txtEditPath, 120, 360, 4680, 300);

    for (QLineEdit* edit : {txtSendLog, txtErrLog, txtEditPath})
        edit->setFont(boxFont);
    // No longer than the file keeps: a longer value would come back cut at the next start.
    for (QLineEdit* edit :
         {txtSmtp, txtPop3, txtMail, txtUserID, txtPassWord, txtSendLog, txtErrLog, txtEditPath})
        edit->setMaxLength(int(aMain_sMail::kTextValueMaxLength));

    CancelCommand = makeButton(this, "CancelCommand", QStringLiteral("中　止"));
    placeTwips(CancelCommand, 6960, 5250, 1320, 420);
    OkCommand = makeButton(this, "OkCommand", QStringLiteral("設　定"));
    placeTwips(OkCommand, 8400, 5250, 1320, 420);

    // Labels and frames take no focus; the access keys of the labels pass it on.
    shell::setTabChain({txtSmtp, txtPop3, txtMail, txtUserID, txtPassWord, ApopCheck, txtSendSpan,
                        txtPop3Time, chkSendLog, cmdSendLog, txtSendLog, chkErrLog, chkErrLogMsg,
                        cmdErrLog, txtErrLog, cmdEdit, txtEditPath, CancelCommand, OkCommand});
    txtSmtp->setFocus();
}

void frmOpSet1::Form_Load()
{
    aMain_sMail::CenterForm(this);

    const aMain_sMail::SettingsRecord& s = Settings;
    txtSmtp->setText(s.SMTP);
    txtPop3->setText(s.POP3);
    txtMail->setText(s.MAIL);
    txtUserID->setText(s.USERID);
    txtPassWord->setText(s.IDPAS);
    txtSendLog->setText(s.SENDLOGPAS);
    txtErrLog->setText(s.ERRLOGPAS);
    txtEditPath->setText(s.EDITPATH);

    m_loadedApop = s.APOP;
    m_loadedSendLog = s.SENDLOG;
    m_loadedErrLog = s.ERRLOG;
    m_loadedErrLogMsg = s.ERRLOGMSG;
    ApopCheck->setChecked(s.APOP != 0);
    showSwitch(chkSendLog, s.SENDLOG);
    showSwitch(chkErrLog, s.ERRLOG);
    showSwitch(chkErrLogMsg, s.ERRLOGMSG);
    m_shownApop = ApopCheck->checkState();
    m_shownSendLog = chkSendLog->checkState();
    m_shownErrLog = chkErrLog->checkState();
    m_shownErrLogMsg = chkErrLogMsg->checkState();

    // Whole even when a hand-edited file holds more digits or a sign; see DigitFilter.
    shell::setDigitText(txtSendSpan, QString::number(s.SENDSPAN));
    shell::setDigitText(txtPop3Time, QString::number(s.POP3TIME));

    SetSendLogEnabled();
    SetErrLogEnabled();
}

void frmOpSet1::SetSendLogEnabled()
{
    const bool on = chkSendLog->checkState() == Qt::Checked;
    txtSendLog->setEnabled(on);
    cmdSendLog->setEnabled(on);
}

void frmOpSet1::SetErrLogEnabled()
{
    const bool on = chkErrLog->checkState() == Qt::Checked;
    txtErrLog->setEnabled(on);
    cmdErrLog->setEnabled(on);
}

void frmOpSet1::chkSendLog_Click()
{
    SetSendLogEnabled();
}

void frmOpSet1::chkErrLog_Click()
{
    SetErrLogEnabled();
}

void frmOpSet1::browse(QLineEdit* target, const QString& initialDir, const QString& filter,
                       bool asCommand)
{
    const platform::OpenFileRequest request{platform::kHideReadOnly, initialDir, filter};
    const std::optional<QString> chosen = platform::chooseFile(this, request, m_appDir);
    if (!chosen)
        return;
    QString path = compose::TrimSpaces(*chosen);
    if (asCommand)
        path = platform::quoteProgram(path);
    // The box would cut it, and a cut path names another file.
    if (path.size() > target->maxLength()) {
        platform::msgBox(
            this,
            QStringLiteral("選択したファイルのパスが%1文字を超えるため、設定できません。\n%2")
                .arg(target->maxLength())
                .arg(path),
            platform::MsgIcon::Exclamation, platform::MsgButtons::Ok, QStringLiteral("KEZ-MAILER"));
        return;
    }
    target->setText(path);
}

void frmOpSet1::cmdSendLog_Click()
{
    browse(txtSendLog, m_appDir + QStringLiteral("/log"), kLogFilter);
}

void frmOpSet1::cmdErrLog_Click()
{
    browse(txtErrLog, m_appDir + QStringLiteral("/log"), kLogFilter);
}

void frmOpSet1::cmdEdit_Click()
{
    browse(txtEditPath, m_appDir, kExeFilter, true);
}

void frmOpSet1::OkCommand_Click()
{
    // Into the record first: the main window works with these values even when a check
    // below refuses the save.
    aMain_sMail::SettingsRecord& s = Settings;
    s.SMTP = txtSmtp->text();
    s.POP3 = txtPop3->text();
    s.MAIL = txtMail->text();
    s.USERID = txtUserID->text();
    s.IDPAS = txtPassWord->text();
    s.APOP = ApopCheck->checkState() == m_shownApop ? m_loadedApop
                                                    : qint16(ApopCheck->isChecked() ? 1 : 0);
    s.SENDLOG = chkSendLog->checkState() == m_shownSendLog ? m_loadedSendLog
                                                           : switchValue(chkSendLog->checkState());
    s.SENDLOGPAS = txtSendLog->text();
    s.ERRLOG = chkErrLog->checkState() == m_shownErrLog ? m_loadedErrLog
                                                        : switchValue(chkErrLog->checkState());
    s.ERRLOGMSG = chkErrLogMsg->checkState() == m_shownErrLogMsg
                      ? m_loadedErrLogMsg
                      : switchValue(chkErrLogMsg->checkState());
    s.ERRLOGPAS = txtErrLog->text();
    s.SENDSPAN = aMain_sMail::ToInt32(aMain_sMail::ParseLeadingNumber(txtSendSpan->text()));
    s.POP3TIME = aMain_sMail::ToInt16(aMain_sMail::ParseLeadingNumber(txtPop3Time->text()));
    s.EDITPATH = txtEditPath->text();

    const QString caption = QStringLiteral("KEZ-MAILER");
    struct Check
    {
        bool fails;
        QString message;
        QWidget* focus;
        std::optional<QString> caption;
    };
    const Check checks[] = {
        {compose::IsEmptyAfterTrimSpaces(s.SMTP),
         QStringLiteral("SMTPサーバー名が入力されていません。"), txtSmtp, caption},
        {compose::IsEmptyAfterTrimSpaces(s.MAIL),
         QStringLiteral("メールアドレスが入力されていません。"), txtMail, caption},
        {s.SENDSPAN < 300, QStringLiteral("配信間隔が小さすぎます。300以上に設定して下さい。"),
         txtSendSpan, caption},
        {s.POP3TIME != 0 && compose::IsEmptyAfterTrimSpaces(s.USERID),
         QStringLiteral("ユーザIDが入力されていません。"), txtUserID, caption},
        {s.POP3TIME != 0 && compose::IsEmptyAfterTrimSpaces(s.IDPAS),
         QStringLiteral("パスワードが入力されていません。"), txtPassWord, std::nullopt},
        {s.SENDLOG == 1 && compose::IsEmptyAfterTrimSpaces(s.SENDLOGPAS),
         QStringLiteral("配信ログファイルのパスが入力されていません。"), txtSendLog, caption},
        {s.ERRLOG == 1 && compose::IsEmptyAfterTrimSpaces(s.ERRLOGPAS),
         QStringLiteral("配信エラーログファイルのパスが入力されていません。"), txtErrLog, caption},
    };
    for (const Check& check : checks) {
        if (!check.fails)
            continue;
        platform::msgBox(this, check.message, platform::MsgIcon::Exclamation,
                         platform::MsgButtons::Ok, check.caption);
        check.focus->setFocus();
        return;
    }

    aMain_sMail::SaveError error;
    if (!aMain_sMail::SaveSettings(m_appDir, &error)) {
        // The dialog stays open with what was typed, so the operator can mend it or cancel.
        platform::msgBox(this, error.message, platform::MsgIcon::Critical, platform::MsgButtons::Ok,
                         caption);
        shell::focusBoxOfKey(error.key, {{"EDITPATH", txtEditPath},
                                         {"SMTP", txtSmtp},
                                         {"POP3", txtPop3},
                                         {"MAIL", txtMail},
                                         {"USERID", txtUserID},
                                         {"IDPAS", txtPassWord},
                                         {"SENDLOGPAS", txtSendLog},
                                         {"ERRLOGPAS", txtErrLog}});
        return;
    }
    accept();
}

void frmOpSet1::CancelCommand_Click()
{
    reject();
}

void frmOpSet1::keyPressEvent(QKeyEvent* event)
{
    if (!shell::takeEnterInBox(event))
        QDialog::keyPressEvent(event);
}
