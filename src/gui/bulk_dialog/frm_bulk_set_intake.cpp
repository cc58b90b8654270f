// The intake tab of the delivery options: the POP3 account the bounces and unsubscribe
// requests are read from, whether they are deleted, and the soft-bounce limit.
#include "gui/bulk_dialog/frm_bulk_set.h"

#include "core/intake/intake.h"
#include "core/settings/a_main_smail.h"
#include "core/text/trim.h"
#include "core/transport/pop3_endpoint.h"
#include "gui/platform/message_boxes.h"
#include "gui/widgets/controls.h"
#include "gui/widgets/fonts.h"
#include "gui/widgets/twips.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QSpinBox>
#include <QTabWidget>

using shell::makeCheck;
using shell::makeEdit;
using shell::makeFrame;
using shell::makeLabel;
using shell::placeTwips;

void frmBulkSet::buildIntakePage()
{
    Frame5 = makeFrame(pagIntake, "Frame5", QStringLiteral("バウンス・配信停止の取り込み"));
    placeTwips(Frame5, 120, 120, 9720, 5400);
    optIntakeSettings = new QRadioButton(
        QStringLiteral("「設定」のPOP3サーバーとアカウントから取り込む(&J)"), Frame5);
    optIntakeSettings->setObjectName(QStringLiteral("optIntakeSettings"));
    placeTwips(optIntakeSettings, 120, 300, 9480, 270);
    optIntakeOwn = new QRadioButton(QStringLiteral("専用のアカウントから取り込む(&G)"), Frame5);
    optIntakeOwn->setObjectName(QStringLiteral("optIntakeOwn"));
    placeTwips(optIntakeOwn, 120, 600, 9480, 270);

    lblIntakeServer = makeLabel(Frame5, "lblIntakeServer", QStringLiteral("POP3サーバー(&V)"));
    placeTwips(lblIntakeServer, 420, 930, 1860, 270);
    txtIntakeServer = makeEdit(Frame5, "txtIntakeServer");
    placeTwips(txtIntakeServer, 2340, 900, 7260, 300);
    lblIntakeUser = makeLabel(Frame5, "lblIntakeUser", QStringLiteral("ユーザーID(&Y)"));
    placeTwips(lblIntakeUser, 420, 1290, 1860, 270);
    txtIntakeUser = makeEdit(Frame5, "txtIntakeUser");
    placeTwips(txtIntakeUser, 2340, 1260, 3300, 300);
    lblIntakePass = makeLabel(Frame5, "lblIntakePass", QStringLiteral("パスワード(&Z)"));
    placeTwips(lblIntakePass, 5760, 1290, 1260, 270);
    txtIntakePass = makeEdit(Frame5, "txtIntakePass");
    txtIntakePass->setEchoMode(QLineEdit::Password);
    placeTwips(txtIntakePass, 7080, 1260, 2520, 300);

    chkIntakeDelete = makeCheck(Frame5, "chkIntakeDelete",
                                QStringLiteral("取り込んだメールをサーバーから削除する(&H)"));
    placeTwips(chkIntakeDelete, 120, 1710, 9480, 270);
    lblSoftLimit = makeLabel(
        Frame5, "lblSoftLimit",
        QStringLiteral("一時的なエラー（ソフトバウンス）が続いたら配信停止にする回数(&O)"));
    placeTwips(lblSoftLimit, 120, 2070, 7200, 270);
    spnSoftLimit = new QSpinBox(Frame5);
    spnSoftLimit->setObjectName(QStringLiteral("spnSoftLimit"));
    spnSoftLimit->setRange(bulk::kMinSoftBounceLimit, bulk::kMaxSoftBounceLimit);
    spnSoftLimit->setSuffix(QStringLiteral(" 回"));
    placeTwips(spnSoftLimit, 7380, 2040, 1200, 300);

    lblIntakeNote = makeLabel(
        Frame5, "lblIntakeNote",
        QStringLiteral("配信を始める前と、メニュー「ファイル」→「バウンス・配信停止の取り込み」で、"
                       "まだ読んでいないメールを読みます。\n"
                       "・宛先不明のバウンスと配信停止依頼のアドレスは、配信停止リストの最後に"
                       "追加します（log/suppression_added.log に記録）。\n"
                       "・受信拒否やブロック（5.7.x）、メールボックスの容量超過などは、アドレスの"
                       "せいではないので追加しません。\n"
                       "・削除するのは、バウンス・配信停止依頼・自動応答と判定したメールだけです。"
                       "ほかのメールは削除しません。"));
    lblIntakeNote->setWordWrap(true);
    lblIntakeNote->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    placeTwips(lblIntakeNote, 120, 2490, 9480, 1800);
    lblIntakeState = makeLabel(Frame5, "lblIntakeState", QString());
    lblIntakeState->setWordWrap(true);
    lblIntakeState->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    placeTwips(lblIntakeState, 120, 4380, 9480, 900);

    lblIntakeServer->setBuddy(txtIntakeServer);
    lblIntakeUser->setBuddy(txtIntakeUser);
    lblIntakePass->setBuddy(txtIntakePass);
    lblSoftLimit->setBuddy(spnSoftLimit);
    const QFont boxFont = shell::gothicFont(9);
    for (QLineEdit* edit : {txtIntakeServer, txtIntakeUser, txtIntakePass}) {
        edit->setFont(boxFont);
        shell::imeOff(edit);
    }

    connect(optIntakeSettings, &QRadioButton::toggled, this, &frmBulkSet::optIntake_Click);
    for (QLineEdit* edit : {txtIntakeServer, txtIntakeUser})
        connect(edit, &QLineEdit::textChanged, this, &frmBulkSet::ShowIntakeState);
}

void frmBulkSet::loadIntake(const bulk::BulkSettings& s)
{
    const bool own = !s.intakeServer.isEmpty();
    optIntakeOwn->setChecked(own);
    optIntakeSettings->setChecked(!own);
    txtIntakeServer->setText(s.intakeServer);
    txtIntakeUser->setText(s.intakeUser);
    txtIntakePass->setText(s.intakePassword);
    chkIntakeDelete->setChecked(s.intakeDelete);
    spnSoftLimit->setValue(s.softBounceLimit);
    SetIntakeEnabled();
}

void frmBulkSet::optIntake_Click()
{
    SetIntakeEnabled();
}

void frmBulkSet::SetIntakeEnabled()
{
    const bool own = optIntakeOwn->isChecked();
    for (QWidget* w : {static_cast<QWidget*>(txtIntakeServer), static_cast<QWidget*>(txtIntakeUser),
                       static_cast<QWidget*>(txtIntakePass)})
        w->setEnabled(own);
    ShowIntakeState();
}

void frmBulkSet::ShowIntakeState()
{
    bulk::BulkSettings s;
    s.intakeServer =
        optIntakeOwn->isChecked() ? compose::TrimSpaces(txtIntakeServer->text()) : QString();
    s.intakeUser = compose::TrimSpaces(txtIntakeUser->text());
    const std::optional<intake::Account> account = intake::AccountFor(s, aMain_sMail::Settings);
    QString text;
    bool off = true;
    if (!chkSuppress->isChecked())
        text = QStringLiteral("取り込みは無効です：「配信停止と署名」のタブで、配信停止リストを"
                              "使う設定にして下さい。");
    else if (!account)
        text = QStringLiteral("取り込みは無効です：読み込むPOP3サーバーがありません（「設定」の"
                              "POP3サーバーが空です）。配信は取り込みをせずに始まります。");
    else {
        off = false;
        text = QStringLiteral("取り込み先：%1 のユーザー %2")
                   .arg(account->server,
                        account->user.isEmpty() ? QStringLiteral("（未入力）") : account->user);
    }
    lblIntakeState->setText(text);
    shell::setForeground(lblIntakeState, off ? Qt::red : palette().color(QPalette::WindowText));
}

bool frmBulkSet::takeIntake(bulk::BulkSettings& s)
{
    auto refuse = [this](const QString& message, QWidget* focus) {
        tabOptions->setCurrentWidget(pagIntake);
        platform::msgBox(this, message, platform::MsgIcon::Exclamation);
        focus->setFocus();
        return false;
    };
    const bool own = optIntakeOwn->isChecked();
    s.intakeServer = own ? compose::TrimSpaces(txtIntakeServer->text()) : QString();
    s.intakeUser = own ? compose::TrimSpaces(txtIntakeUser->text()) : QString();
    s.intakePassword = own ? txtIntakePass->text() : QString();
    s.intakeDelete = chkIntakeDelete->isChecked();
    s.softBounceLimit = spnSoftLimit->value();
    if (!own)
        return true;
    if (s.intakeServer.isEmpty())
        return refuse(QStringLiteral("取り込み用のPOP3サーバーが入力されていません。"),
                      txtIntakeServer);
    transport::Pop3Endpoint endpoint;
    QString problem;
    if (!transport::parsePop3Server(s.intakeServer, &endpoint, &problem))
        return refuse(problem, txtIntakeServer);
    if (s.intakeUser.isEmpty())
        return refuse(QStringLiteral("取り込み用のユーザーIDが入力されていません。"),
                      txtIntakeUser);
    return true;
}
