#include "gui/schedule_dialog/frm_timer_set.h"

#include "core/platform/clock.h"
#include "core/schedule/schedule_checks.h"
#include "core/settings/a_main_smail.h"
#include "gui/platform/message_boxes.h"
#include "gui/widgets/center_form.h"
#include "gui/widgets/controls.h"
#include "gui/widgets/fonts.h"
#include "gui/widgets/twips.h"

#include <QFocusEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

using shell::makeButton;
using shell::makeLabel;
using shell::placeTwips;

namespace {

const QString kCaption = QStringLiteral("タイマー配信の設定");

} // namespace

frmTimerSet::frmTimerSet(QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("frmTimerSet"));
    setWindowTitle(kCaption);
    buildControls();
    Form_Load();
}

frmTimerSet::~frmTimerSet() = default;

void frmTimerSet::buildControls()
{
    setFixedSize(shell::twipsToPixels(this, 6600), shell::twipsToPixels(this, 1230));

    const QFont unitFont = shell::pGothicFont(9.75);
    auto unit = [this, &unitFont](const char* name, const QString& text, int left, int top) {
        QLabel* label = makeLabel(this, name, text);
        label->setFont(unitFont);
        placeTwips(label, left, top, 255, 255);
        return label;
    };

    // Both rows share their columns, so that each clock value stands above its field.
    const int colYear = 1080, colMonth = 1980, colDay = 2640, colHour = 3300, colMinute = 3960,
              colSecond = 4620, colButton = 5400;
    const int yearWidth = 600, partWidth = 360, unitGap = 20;

    const int row1 = 240;
    Label7 = makeLabel(this, "Label7", QStringLiteral("現在時刻"));
    placeTwips(Label7, 120, row1, 900, 255);
    auto clockLabel = [this, row1](const char* name, int left, int width) {
        QLabel* label = makeLabel(this, name, QString());
        label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        placeTwips(label, left, row1, width, 255);
        return label;
    };
    lblYyyy = clockLabel("lblYyyy", colYear, yearWidth);
    unit("Label1", QStringLiteral("年"), colYear + yearWidth + unitGap, row1);
    lblMm = clockLabel("lblMm", colMonth, partWidth);
    unit("Label2", QStringLiteral("月"), colMonth + partWidth + unitGap, row1);
    lblDd = clockLabel("lblDd", colDay, partWidth);
    unit("Label3", QStringLiteral("日"), colDay + partWidth + unitGap, row1);
    lblHh = clockLabel("lblHh", colHour, partWidth);
    unit("Label4", QStringLiteral("時"), colHour + partWidth + unitGap, row1);
    lblNn = clockLabel("lblNn", colMinute, partWidth);
    unit("Label5", QStringLiteral("分"), colMinute + partWidth + unitGap, row1);
    lblSs = clockLabel("lblSs", colSecond, partWidth);
    unit("Label6", QStringLiteral("秒"), colSecond + partWidth + unitGap, row1);
    cmdCancel = makeButton(this, "cmdCancel", QStringLiteral("取消し"));
    placeTwips(cmdCancel, colButton, row1 - 90, 1035, 375);

    const int row2 = 720;
    Label8 = makeLabel(this, "Label8", QStringLiteral("設定時刻"));
    placeTwips(Label8, 120, row2 + 30, 900, 255);
    // Digits only, whether typed or pasted; backspace and the editing keys work as usual.
    auto field = [this, row2](const char* name, int left, int width, int maxLength) {
        QLineEdit* edit = shell::makeDigitEdit(this, name, maxLength);
        edit->setMaxLength(maxLength);
        placeTwips(edit, left, row2, width, 315);
        return edit;
    };
    txtYyyy = field("txtYyyy", colYear, yearWidth, 4);
    unit("Label9", QStringLiteral("年"), colYear + yearWidth + unitGap, row2 + 30);
    txtMm = field("txtMm", colMonth, partWidth, 2);
    unit("Label10", QStringLiteral("月"), colMonth + partWidth + unitGap, row2 + 30);
    txtDd = field("txtDd", colDay, partWidth, 2);
    unit("Label11", QStringLiteral("日"), colDay + partWidth + unitGap, row2 + 30);
    txtHh = field("txtHh", colHour, partWidth, 2);
    unit("Label12", QStringLiteral("時"), colHour + partWidth + unitGap, row2 + 30);
    txtNn = field("txtNn", colMinute, partWidth, 2);
    unit("Label13", QStringLiteral("分"), colMinute + partWidth + unitGap, row2 + 30);
    cmdSettei = makeButton(this, "cmdSettei", QStringLiteral("設　定"));
    placeTwips(cmdSettei, colButton, row2 - 30, 1035, 375);

    for (QLineEdit* edit : {txtMm, txtDd, txtHh, txtNn})
        edit->installEventFilter(this);

    shell::setTabChain({txtYyyy, txtMm, txtDd, txtHh, txtNn, cmdSettei, cmdCancel});
    txtYyyy->setFocus();

    Timer1 = new platform::FormTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    connect(Timer1, &platform::FormTimer::timeout, this, &frmTimerSet::Timer1_Timer);
    connect(cmdSettei, &QPushButton::clicked, this, &frmTimerSet::cmdSettei_Click);
    connect(cmdCancel, &QPushButton::clicked, this, &frmTimerSet::cmdCancel_Click);
}

void frmTimerSet::Form_Load()
{
    aMain_sMail::CenterForm(this);
    Timer1->setInterval(1000);
    Timer1->setEnabled(true);

    if (!aMain_sMail::ScheduledTime.isEmpty()) {
        const schedule::ScheduleFields f =
            schedule::FieldsFromScheduleText(aMain_sMail::ScheduledTime);
        txtYyyy->setText(f.year);
        txtMm->setText(f.month);
        txtDd->setText(f.day);
        txtHh->setText(f.hour);
        txtNn->setText(f.minute);
    }
}

void frmTimerSet::Timer1_Timer()
{
    auto now = [](const char* format) {
        return platform::clock().now().toString(QString::fromLatin1(format));
    };
    lblYyyy->setText(now("yyyy"));
    lblMm->setText(now("MM"));
    lblDd->setText(now("dd"));
    lblHh->setText(now("HH"));
    lblNn->setText(now("mm"));
    lblSs->setText(now("ss"));
}

void frmTimerSet::txtMm_LostFocus()
{
    txtMm->setText(schedule::ZeroFillMonthDay(txtMm->text()));
}

void frmTimerSet::txtDd_LostFocus()
{
    txtDd->setText(schedule::ZeroFillMonthDay(txtDd->text()));
}

void frmTimerSet::txtHh_LostFocus()
{
    txtHh->setText(schedule::ZeroFillHourMinute(txtHh->text()));
}

void frmTimerSet::txtNn_LostFocus()
{
    txtNn->setText(schedule::ZeroFillHourMinute(txtNn->text()));
}

void frmTimerSet::cmdSettei_Click()
{
    const schedule::ScheduleFields fields{txtYyyy->text(), txtMm->text(), txtDd->text(),
                                          txtHh->text(), txtNn->text()};
    schedule::CheckFailure failure;
    if (!schedule::CheckScheduleFields(fields, &failure)) {
        platform::msgBox(this, failure.message, platform::MsgIcon::Exclamation,
                         platform::MsgButtons::Ok, kCaption);
        QLineEdit* target = txtYyyy;
        switch (failure.field) {
        case schedule::Field::Year: target = txtYyyy; break;
        case schedule::Field::Month: target = txtMm; break;
        case schedule::Field::Day: target = txtDd; break;
        case schedule::Field::Hour: target = txtHh; break;
        case schedule::Field::Minute: target = txtNn; break;
        }
        target->setFocus(Qt::OtherFocusReason);
        return;
    }
    aMain_sMail::ScheduleConfirmed = 1;
    aMain_sMail::ScheduledTime = schedule::ScheduleText(fields);
    Timer1->setEnabled(false);
    accept();
}

void frmTimerSet::cmdCancel_Click()
{
    for (QLineEdit* edit : {txtYyyy, txtMm, txtDd, txtHh, txtNn})
        edit->clear();
    aMain_sMail::ScheduleConfirmed = 0;
    aMain_sMail::ScheduledTime.clear();
    Timer1->setEnabled(false);
    reject();
}

bool frmTimerSet::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::FocusOut) {
        // Only a move of the focus inside the dialog counts as leaving a field; a message box
        // or another window taking over, or the field's own context menu, does not.
        const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
        if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason) {
            if (watched == txtMm)
                txtMm_LostFocus();
            else if (watched == txtDd)
                txtDd_LostFocus();
            else if (watched == txtHh)
                txtHh_LostFocus();
            else if (watched == txtNn)
                txtNn_LostFocus();
        }
    }
    return QDialog::eventFilter(watched, event);
}

void frmTimerSet::keyPressEvent(QKeyEvent* event)
{
    // No cancel button: Escape does not close the dialog.
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}
