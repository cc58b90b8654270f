#include "gui/info/err_mail_err_form.h"

#include "core/settings/a_main_smail.h"
#include "gui/widgets/center_form.h"
#include "gui/widgets/fonts.h"
#include "gui/widgets/twips.h"

#include "core/info/web_links.h"

#include <QApplication>
#include <QLabel>
#include <QPointer>
#include <QPushButton>

using shell::placeTwips;

ErrMailErr_Form::ErrMailErr_Form(QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("ErrMailErr_Form"));
    setWindowTitle(QStringLiteral("ＫＥＺ－ＭＡＩＬＥＲ　ＥＲＲ"));
    setFont(shell::pGothicFont(9));
    setFixedSize(shell::twipsToPixels(this, 5280), shell::twipsToPixels(this, 2940));

    Label1 = new QLabel(this);
    Label1->setObjectName(QStringLiteral("Label1"));
    placeTwips(Label1, 240, 240, 4800, 255);
    Label2 = new QLabel(this);
    Label2->setObjectName(QStringLiteral("Label2"));
    placeTwips(Label2, 240, 600, 4800, 255);
    Label3 = new QLabel(this);
    Label3->setObjectName(QStringLiteral("Label3"));
    placeTwips(Label3, 240, 960, 4800, 1200);
    Label3->setWordWrap(true);
    Label3->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    // A URL the browser did not open is copied from here.
    Label3->setTextInteractionFlags(Qt::TextSelectableByMouse);
    for (QLabel* label : {Label1, Label2, Label3})
        label->setTextFormat(Qt::PlainText);

    cmdEnd = new QPushButton(QStringLiteral("了　解"), this);
    cmdEnd->setObjectName(QStringLiteral("cmdEnd"));
    placeTwips(cmdEnd, 1950, 2340, 1380, 420);
    cmdEnd->setDefault(true);
    connect(cmdEnd, &QPushButton::clicked, this, &ErrMailErr_Form::cmdEnd_Click);

    Form_Load();
}

void ErrMailErr_Form::Form_Load()
{
    aMain_sMail::CenterForm(this);
    Label1->setText(aMain_sMail::ErrProcName);
    Label2->setText(QStringLiteral("エラーが発生しました。"));
    Label3->setText(aMain_sMail::ErrDescription);
}

void ErrMailErr_Form::cmdEnd_Click()
{
    accept();
}

namespace info {

void reportBrowserFailure(QWidget* parent, const QString& procName, const QString& reason,
                          const QString& url)
{
    aMain_sMail::ErrProcName = procName;
    aMain_sMail::ErrDescription = reason + QLatin1Char('\n') + url;
    ErrMailErr_Form notice(parent);
    notice.exec();
}

void openInBrowserOrReport(QWidget* parent, const QString& procName, const QString& url)
{
    QString reason;
    const QPointer<QWidget> owner(parent);
    const bool started =
        info::openInBrowser(url, &reason, [owner, procName, url](const QString& late) {
            reportBrowserFailure(owner ? owner.data() : QApplication::activeWindow(), procName,
                                 late, url);
        });
    if (!started)
        reportBrowserFailure(parent, procName, reason, url);
}

} // namespace info
