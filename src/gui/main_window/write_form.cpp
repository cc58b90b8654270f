#include "gui/main_window/write_form.h"

#include "core/platform/process_end.h"
#include "core/settings/a_main_smail.h"
#include "core/settings/settings_file.h"
#include "core/text/trim.h"
#include "core/transport/mail_address.h"
#include "core/transport/transport_thread.h"
#include "gui/bulk_dialog/frm_bulk_set.h"
#include "gui/main_window/repaint_pacer.h"
#include "gui/main_window/run_title.h"
#include "gui/platform/message_boxes.h"
#include "gui/preflight_window/frm_preflight.h"
#include "gui/results_window/frm_results.h"
#include "gui/settings_dialog/frm_op_set1.h"
#include "gui/widgets/center_form.h"
#include "gui/widgets/controls.h"
#include "gui/widgets/fonts.h"
#include "gui/widgets/twips.h"

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFontMetrics>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>

using aMain_sMail::Settings;
using shell::placeTwips;

using shell::makeButton;
using shell::makeEdit;
using shell::makeLabel;
using shell::setBackground;
using shell::setForeground;

WriteForm::WriteForm(const QString& appDir, QWidget* parent)
    : QMainWindow(parent), m_appDir(appDir), m_runTitle(std::make_unique<shell::RunTitle>(this))
{
    setObjectName(QStringLiteral("WriteForm"));
    setWindowTitle(QStringLiteral("ＫＥＺ－ＭＡＩＬＥＲ　a1.00"));
    buildControls();
    buildMenus();
    // The controls stand where the twips put them, for one size: a larger window only showed
    // an empty grey margin around them.
    shell::fixWindowSize(this);
    connectShell();
    connectDelivery();
    connectCompose();
    connectSchedule();
    connectInfo();
    // About one paint per frame of a 60 Hz screen.
    new shell::RepaintPacer(this, 16);
}

WriteForm::~WriteForm()
{
    // A window destroyed without its unload (tests) still closes the journal on its thread.
    if (m_journal && m_transport)
        m_transport->run<bool>([this](transport::MailTransport&) {
            m_journal.reset();
            return true;
        });
}

QList<QWidget*> WriteForm::runLockedControls() const
{
    return {cmdTestSend, SendCommand,   cmdCSV,     ToText, SubjectText,
            txtFrom,     AttachCommand, AttachText, cmdDoc, BodyText};
}

QList<QAction*> WriteForm::runLockedMenuItems() const
{
    return {mnOption, mnOption_Bulk, mnFile_Intake};
}

void WriteForm::buildControls()
{
    auto* client = new QWidget(this);
    client->setObjectName(QStringLiteral("client"));
    setCentralWidget(client);
    client->setFixedSize(shell::twipsToPixels(client, 9675), shell::twipsToPixels(client, 8205));

    const QColor lightGrey(224, 224, 224);
    const QFont fieldFont = shell::gothicFont(9.75);

    Label3 = makeLabel(client, "Label3", QString());
    placeTwips(Label3, 30, 45, 1710, 270);
    QFont bold = Label3->font();
    bold.setBold(true);
    Label3->setFont(bold);
    setForeground(Label3, Qt::red);
    setBackground(Label3, lightGrey);

    fraTimerDisp = new QGroupBox(client);
    fraTimerDisp->setObjectName(QStringLiteral("fraTimerDisp"));
    fraTimerDisp->setStyleSheet(
        QStringLiteral("QGroupBox#fraTimerDisp { border: 1px solid palette(mid); }"));
    placeTwips(fraTimerDisp, 1770, -90, 6180, 435);
    // Four texts of 21 and 19 characters share one narrow row; a slightly smaller face and a
    // row layout keep all of them whole in the CJK fallback face.
    QFont panelFont = fraTimerDisp->font();
    panelFont.setPointSizeF(8);
    fraTimerDisp->setFont(panelFont);
    auto* panelRow = new QHBoxLayout(fraTimerDisp);
    panelRow->setContentsMargins(4, 2, 4, 2);
    panelRow->setSpacing(3);
    Label9 = makeLabel(fraTimerDisp, "Label9", QStringLiteral("配信開始時刻"));
    lblSendTime = makeLabel(fraTimerDisp, "lblSendTime", QString());
    Label7 = makeLabel(fraTimerDisp, "Label7", QStringLiteral("現在時刻"));
    lblNowTime = makeLabel(fraTimerDisp, "lblNowTime", QString());
    for (QLabel* label : {Label9, lblSendTime, Label7, lblNowTime})
        label->setFont(panelFont); // the frame's style sheet keeps its font from reaching them
    panelRow->addWidget(Label9);
    panelRow->addWidget(lblSendTime);
    panelRow->addWidget(Label7);
    panelRow->addWidget(lblNowTime);
    panelRow->addStretch(1);
    setForeground(lblSendTime, QColor(0, 0, 128));
    setForeground(lblNowTime, QColor(0, 0, 128));

    cmdTestSend = makeButton(client, "cmdTestSend", QStringLiteral("テスト送信"));
    placeTwips(cmdTestSend, 8085, 60, 1455, 675);

    cmdCSV = makeButton(client, "cmdCSV", QStringLiteral("ｱﾄﾞﾚｽ(CSV)"));
    placeTwips(cmdCSV, 30, 405, 1200, 315);
    ToText = makeEdit(client, "ToText");
    placeTwips(ToText, 1230, 390, 6735, 315);

    Label2 = makeLabel(client, "Label2", QStringLiteral("Subject..."));
    placeTwips(Label2, 60, 810, 1095, 225);
    SubjectText = makeEdit(client, "SubjectText");
    placeTwips(SubjectText, 1230, 750, 6735, 315);

    SendCommand = makeButton(client, "SendCommand", QStringLiteral("送 信"));
    placeTwips(SendCommand, 8100, 810, 1455, 435);

    Label8 = makeLabel(client, "Label8", QStringLiteral("送信者名..."));
    placeTwips(Label8, 60, 1185, 1095, 225);
    txtFrom = makeEdit(client, "txtFrom");
    placeTwips(txtFrom, 1230, 1110, 6735, 315);

    CancelCommand = makeButton(client, "CancelCommand", QStringLiteral("中　止"));
    placeTwips(CancelCommand, 8100, 1320, 1455, 435);

    Label6 = makeLabel(client, "Label6", QStringLiteral("送信者ｱﾄﾞﾚｽ"));
    placeTwips(Label6, 60, 1530, 1140, 255);
    txtSenderAdress = makeEdit(client, "txtSenderAdress");
    placeTwips(txtSenderAdress, 1230, 1485, 6735, 330);
    setBackground(txtSenderAdress, lightGrey);
    // Shown, never read back: the address comes from the settings.
    txtSenderAdress->setReadOnly(true);
    txtSenderAdress->setFocusPolicy(Qt::NoFocus);

    AttachCommand = makeButton(client, "AttachCommand", QStringLiteral("添 付..."));
    placeTwips(AttachCommand, 30, 1875, 1200, 312);
    AttachText = makeEdit(client, "AttachText");
    placeTwips(AttachText, 1230, 1860, 8385, 315);

    lblAdres = makeLabel(client, "lblAdres", QString());
    placeTwips(lblAdres, 30, 2250, 9615, 255);
    setBackground(lblAdres, lightGrey);

    Label1 = makeLabel(client, "Label1", QStringLiteral("送信件数："));
    placeTwips(Label1, 1680, 2595, 870, 255);
    lblSndRec = makeLabel(client, "lblSndRec", QString());
    placeTwips(lblSndRec, 2550, 2595, 840,
               255); // clear of Label4, so a new count repaints only itself
    Label4 = makeLabel(client, "Label4", QStringLiteral("配信エラー件数："));
    placeTwips(Label4, 3540, 2595, 1305, 255);
    lblErrCnt = makeLabel(client, "lblErrCnt", QString());
    placeTwips(lblErrCnt, 4845, 2595, 960, 255);
    // In the CJK fallback face the caption is wider than its 1305 twips. It keeps its place
    // and takes the room it needs, and the count moves right by as much, so that neither is
    // cut nor paints over the other.
    if (const int lacking = Label4->sizeHint().width() - Label4->width(); lacking > 0) {
        Label4->resize(Label4->width() + lacking, Label4->height());
        lblErrCnt->move(lblErrCnt->x() + lacking, lblErrCnt->y());
    }

    cmdDoc = makeButton(client, "cmdDoc", QStringLiteral("本文を開く"));
    placeTwips(cmdDoc, 255, 2775, 1200, 312);

    Frame2 = new QGroupBox(QStringLiteral("配信間隔"), client);
    Frame2->setObjectName(QStringLiteral("Frame2"));
    // A frame's caption sits on its top border, as the children's positions assume; Qt's
    // default puts it above the border and into the children. The border runs through the
    // middle of the caption's line.
    const int captionHeight = QFontMetrics(Frame2->font()).height();
    Frame2->setStyleSheet(
        QStringLiteral(
            "QGroupBox#Frame2 { border: 1px solid palette(mid); margin-top: %1px; }"
            "QGroupBox#Frame2::title { subcontrol-origin: margin; subcontrol-position: top left; "
            "left: 6px; padding: 0 2px; }")
            .arg(captionHeight / 2));
    placeTwips(Frame2, 6960, 2520, 2655, 555);
    txtTimerTime = makeEdit(Frame2, "txtTimerTime");
    placeTwips(txtTimerTime, 60, 180, 975, 285);
    txtTimerTime->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    shell::imeOff(txtTimerTime);
    cmdSendPouse = makeButton(Frame2, "cmdSendPouse", QStringLiteral("Pouse"));
    placeTwips(cmdSendPouse, 1140, 180, 675, 315);
    cmdSendRtry = makeButton(Frame2, "cmdSendRtry", QStringLiteral("Rtry"));
    placeTwips(cmdSendRtry, 1920, 180, 645, 315);
    // The children's places leave the caption the line of the original face; the CJK fallback
    // face's line is taller, and its glyphs were cut at the top and hidden under the interval
    // field. The frame grows downward by the difference and its children move down with it.
    if (const int lacking = captionHeight - txtTimerTime->y(); lacking > 0) {
        Frame2->resize(Frame2->width(), Frame2->height() + lacking);
        for (QWidget* child :
             {static_cast<QWidget*>(txtTimerTime), static_cast<QWidget*>(cmdSendPouse),
              static_cast<QWidget*>(cmdSendRtry)})
            child->move(child->x(), child->y() + lacking);
    }

    Label5 = makeLabel(client, "Label5",
                       QStringLiteral("１２３４５６７８９＊１２３４５６７８９＊１２３４５６７８９＊"
                                      "１２３４５"));
    placeTwips(Label5, 270, 3150, 9135, 255);
    setForeground(Label5, QColor(192, 192, 192));

    BodyText = new QPlainTextEdit(client);
    BodyText->setObjectName(QStringLiteral("BodyText"));
    placeTwips(BodyText, 240, 3390, 9165, 4635);
    BodyText->setLineWrapMode(QPlainTextEdit::NoWrap);
    BodyText->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    BodyText->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // Tab moves on to the next control, as in every other box of the window.
    BodyText->setTabChangesFocus(true);

    // The ruler and the body share one fixed-pitch face so that the columns line up.
    const QFont bodyFont = shell::gothicFont(12);
    BodyText->setFont(bodyFont);
    Label5->setFont(bodyFont);
    for (QLineEdit* edit : {ToText, SubjectText, txtFrom, AttachText})
        edit->setFont(fieldFont);

    Timer1 = new platform::FormTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer2 = new platform::FormTimer(this);
    Timer2->setObjectName(QStringLiteral("Timer2"));
    timSend = new platform::FormTimer(this);
    timSend->setObjectName(QStringLiteral("timSend"));

    // Controls that take no focus in the original keep out of the tab chain.
    for (QWidget* w : {static_cast<QWidget*>(Label3), static_cast<QWidget*>(lblAdres)})
        w->setFocusPolicy(Qt::NoFocus);

    shell::setTabChain({cmdCSV, ToText, SubjectText, txtFrom, AttachCommand, AttachText, cmdDoc,
                        BodyText, cmdTestSend, SendCommand, CancelCommand, txtTimerTime,
                        cmdSendPouse, cmdSendRtry});
    cmdCSV->setFocus();
}

void WriteForm::buildMenus()
{
    QMenuBar* bar = menuBar();
    auto addMenu = [bar](const char* name, const QString& title) {
        QMenu* menu = bar->addMenu(title);
        menu->setObjectName(QString::fromLatin1(name));
        return menu;
    };
    auto addItem = [](QMenu* menu, const char* name, const QString& title) {
        QAction* action = menu->addAction(title);
        action->setObjectName(QString::fromLatin1(name));
        return action;
    };
    mnFile = addMenu("mnFile", QStringLiteral("ファイル(&F)"));
    nmFile_End = addItem(mnFile, "nmFile_End", QStringLiteral("終了(&Q)"));
    mnFile_Intake =
        addItem(mnFile, "mnFile_Intake", QStringLiteral("バウンス・配信停止の取り込み(&I)"));
    mnFile_Results = addItem(mnFile, "mnFile_Results", QStringLiteral("配信結果(&L)..."));
    mnOptionMenu = addMenu("mnOptionMenu", QStringLiteral("設定(&O)"));
    mnOption = addItem(mnOptionMenu, "mnOption", QStringLiteral("設定(&O)"));
    mnOption_Timer = addItem(mnOptionMenu, "mnOption_Timer", QStringLiteral("タイマー配信(&T)"));
    mnOption_Bulk = addItem(mnOptionMenu, "mnOption_Bulk", QStringLiteral("配信オプション(&B)..."));
    mnOption_Preflight =
        addItem(mnOptionMenu, "mnOption_Preflight", QStringLiteral("配信前チェック(&C)..."));
    mnDoc = addMenu("mnDoc", QStringLiteral("本文(&D)"));
    mnDoc_Make = addItem(mnDoc, "mnDoc_Make", QStringLiteral("新規作成(&N)"));
    mnDoc_Open = addItem(mnDoc, "mnDoc_Open", QStringLiteral("本文を開く(&O)"));
    mnDoc_Preview = addItem(mnDoc, "mnDoc_Preview", QStringLiteral("差し込みプレビュー(&P)..."));
    mnEtc = addMenu("mnEtc", QStringLiteral("その他(&E)"));
    mnEtc_Ver = addItem(mnEtc, "mnEtc_Ver", QStringLiteral("バージョン"));
    mnEtc_Bbs = addItem(mnEtc, "mnEtc_Bbs", QStringLiteral("会員専用ＢＢＳ"));
}

void WriteForm::connectShell()
{
    connect(nmFile_End, &QAction::triggered, this, &WriteForm::nmFile_End_Click);
    connect(mnOption, &QAction::triggered, this, &WriteForm::mnOption_Click);
    connect(mnOption_Bulk, &QAction::triggered, this, &WriteForm::mnOption_Bulk_Click);
    connect(mnOption_Preflight, &QAction::triggered, this, &WriteForm::mnOption_Preflight_Click);
    connect(mnFile_Results, &QAction::triggered, this, &WriteForm::mnFile_Results_Click);
    connect(mnFile_Intake, &QAction::triggered, this, &WriteForm::mnFile_Intake_Click);
}

void WriteForm::Form_Load()
{
    QDir::setCurrent(m_appDir);
    adjustSize();
    aMain_sMail::CenterForm(this);

    for (QLineEdit* edit : {ToText, SubjectText, txtFrom, AttachText})
        edit->clear();
    BodyText->clear();
    lblAdres->clear();
    fraTimerDisp->hide();

    const bool haveFile = aMain_sMail::LoadSettings(m_appDir);
    if (!haveFile || aMain_sMail::CheckSettings() == 1) {
        frmOpSet1 dialog(m_appDir);
        dialog.exec();
    }

    aMain_sMail::ScheduleConfirmed = 0;
    aMain_sMail::ScheduledTime.clear();
    run.SendFlag = 0;

    if (!Settings.MAIL.isEmpty())
        txtSenderAdress->setText(QLatin1Char('<') + Settings.MAIL + QLatin1Char('>'));

    // The transport's thread readies the library (NMailInitializeWinSock, NMailSetOption) as
    // its first work.
    transportThread();

    txtTimerTime->setText(QString::number(Settings.SENDSPAN));
    Timer1->setEnabled(false);
    Timer1->setInterval(Settings.SENDSPAN);

    Timer2->setEnabled(false);
    if (Settings.POP3TIME != 0) {
        run.PopTickCount = 0;
        // Wide enough that the dialog's largest value, 999, gives 999,000 ms per tick.
        Timer2->setInterval(qint64(Settings.POP3TIME) * 1000);
    }
    txtTimerTime->setEnabled(false);
}

void WriteForm::nmFile_End_Click()
{
    if (isEnding())
        return;
    CancelCommand_Click();
}

void WriteForm::mnOption_Click()
{
    if (isEnding())
        return;
    {
        frmOpSet1 dialog(m_appDir, this);
        dialog.exec();
    }
    if (m_unloaded)
        return;
    txtTimerTime->setText(QString::number(Settings.SENDSPAN));
}

void WriteForm::mnOption_Bulk_Click()
{
    if (isEnding())
        return;
    frmBulkSet dialog(m_appDir, this);
    dialog.exec();
}

void WriteForm::mnOption_Preflight_Click()
{
    if (isEnding())
        return;
    // What a run would check is what a run would read; a file the run would refuse is
    // refused here the same way, rather than checked as if its options were off.
    const bulk::LoadedBulkSettings loaded = bulk::LoadBulkSettings(m_appDir);
    if (loaded.state == bulk::BulkFileState::Unreadable) {
        platform::msgBox(this, bulk::UnreadableMessage(m_appDir, loaded.reason),
                         platform::MsgIcon::Exclamation);
        return;
    }
    frmPreflight dialog(preflight::InputsFor(Settings.MAIL, loaded.settings), this);
    dialog.exec();
}

void WriteForm::mnFile_Results_Click()
{
    if (isEnding())
        return;
    frmResults dialog(m_appDir, this);
    // The list box is locked while a run or an armed schedule holds the list.
    dialog.setListLocked([this] { return !ToText->isEnabled(); });
    connect(&dialog, &frmResults::retryListWritten, ToText, &QLineEdit::setText);
    dialog.exec();
}

void WriteForm::closeMainWindow(CloseOrigin origin)
{
    if (m_unloaded)
        return;
    // A mail or login on its way is let finish first (within the transport's time-outs): its
    // counters and log line are written, then closeIfRequested() closes. Nothing new starts
    // meanwhile, and Label3 says what the window waits for.
    if (run.transportWaits > 0) {
        run.closeRequested = true;
        Timer1->setEnabled(false);
        Timer2->setEnabled(false);
        timSend->setEnabled(false);
        Label3->setText(QStringLiteral("送信終了待ち"));
        return;
    }
    m_closeOrigin = origin;
    close();
    m_closeOrigin = CloseOrigin::Request;
    // The window system drops a close() issued while its own close is being delivered (the
    // close box runs the cancel action, which closes from inside that close event). A close
    // by the cancel action or by the end of a run is never refused, so unload directly.
    if (!m_unloaded)
        Form_Unload();
}

void WriteForm::closeEvent(QCloseEvent* event)
{
    if (m_unloaded) {
        event->accept();
        return;
    }
    if (m_closeOrigin == CloseOrigin::Request) {
        // The close box asks the cancel action's question; the action closes the window itself
        // when the answer allows it, without asking a second time.
        event->ignore();
        m_closeBox = true;
        CancelCommand_Click();
        // A close that waits for the mail on its way still comes from the close box.
        if (!run.closeRequested)
            m_closeBox = false;
        if (m_unloaded)
            event->accept();
        return;
    }
    event->accept();
    Form_Unload();
}

void WriteForm::Form_Unload()
{
    if (m_unloaded)
        return;
    m_unloaded = true;
    // A run the window leaves mid-way: the cancel action ends it, the close box interrupts it.
    if (m_journalRun != 0 && !m_resume) {
        suppressRunRefusals(true);
        endJournalRun(m_closeBox ? journal::RunState::Interrupted : journal::RunState::Cancelled);
    }
    Timer1->setEnabled(false);
    Timer2->setEnabled(false);
    timSend->setEnabled(false);
    run.List.reset();
    m_merge.reset();
    m_runTitle->stop();
    hide();
    // The journal's connection ends on its own thread, before that thread does.
    closeJournal();
    // No request is open here (a close waits for it): this ends the library on the
    // transport's thread (NMailEndWinSock, which says QUIT on a kept connection) and joins it.
    m_transport.reset();
    platform::processEnd().endProcess();
}

bool WriteForm::checkComposeInputs(const std::optional<QString>& settingsCaption)
{
    using platform::MsgIcon;
    if (aMain_sMail::CheckSettings() == 1) {
        platform::msgBox(this, QStringLiteral("設定ファイルが正しく設定されていません。"),
                         MsgIcon::Exclamation, platform::MsgButtons::Ok, settingsCaption);
        return false;
    }
    // Every mail names its sender as name + "<" + MAIL + ">": a second address or a bracket in
    // MAIL would send the list's mails from an address nobody chose.
    if (!transport::isSingleAddress(Settings.MAIL)) {
        platform::msgBox(
            this,
            QStringLiteral("メールアドレスの設定が正しくありません。空白や < > を含まない"
                           "アドレスを１つだけ設定して下さい。\n%1")
                .arg(Settings.MAIL),
            MsgIcon::Exclamation, platform::MsgButtons::Ok, settingsCaption);
        return false;
    }
    const struct
    {
        bool failed;
        const char16_t* message;
        QWidget* focus;
    } checks[] = {
        {compose::Trim(ToText->text()).isEmpty(), u"CSVファイルを指定して下さい。", ToText},
        // The subject and the sender name are tested as typed: blanks alone pass.
        {SubjectText->text().isEmpty(), u"Subjectを指定して下さい。", SubjectText},
        {txtFrom->text().isEmpty(), u"送信者を指定して下さい。", txtFrom},
    };
    for (const auto& check : checks) {
        if (!check.failed)
            continue;
        platform::msgBox(this, QString::fromUtf16(check.message), MsgIcon::Exclamation);
        if (!isEnding())
            check.focus->setFocus(Qt::OtherFocusReason);
        return false;
    }
    return !isEnding();
}

bool WriteForm::yieldEvents()
{
    if (isEnding())
        return false;
    QCoreApplication::processEvents();
    return !isEnding();
}
