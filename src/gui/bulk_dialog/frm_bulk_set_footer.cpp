// The footer tab of the delivery options: what advertising mail must show after its body, and
// a template of the items the law asks for.
#include "core/bulk/bulk_footer.h"
#include "gui/bulk_dialog/frm_bulk_set.h"
#include "gui/platform/message_boxes.h"
#include "gui/widgets/controls.h"
#include "gui/widgets/fonts.h"
#include "gui/widgets/twips.h"

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTextCursor>

using shell::makeButton;
using shell::makeFrame;
using shell::makeLabel;
using shell::placeTwips;

void frmBulkSet::buildFooterPage()
{
    Frame7 = makeFrame(pagFooter, "Frame7", QStringLiteral("広告メールの表示事項"));
    placeTwips(Frame7, 120, 120, 9720, 7440);
    lblFooter =
        makeLabel(Frame7, "lblFooter", QStringLiteral("メール末尾に付ける表示事項（フッター）"));
    placeTwips(lblFooter, 120, 300, 9480, 270);
    txtFooter = new QPlainTextEdit(Frame7);
    txtFooter->setObjectName(QStringLiteral("txtFooter"));
    placeTwips(txtFooter, 120, 600, 9480, 5100);
    txtFooter->setFont(shell::gothicFont(9));
    // Tab moves on, as in the main window's body: a tab in a footer is never meant.
    txtFooter->setTabChangesFocus(true);
    lblFooter->setBuddy(txtFooter);

    lblFooterNote = makeLabel(
        Frame7, "lblFooterNote",
        QStringLiteral("{address} は宛先のアドレス、{unsubscribe_url} と {unsubscribe_mailto} は"
                       "宛先ごとの配信停止用URLと配信停止用メールに置き換わります。\n"
                       "配信メールとテスト送信の本文のあとに、空行を１行はさんで付きます。"
                       "空にすると付きません。"));
    lblFooterNote->setWordWrap(true);
    lblFooterNote->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    placeTwips(lblFooterNote, 120, 5790, 9480, 900);
    cmdFooterTemplate = makeButton(Frame7, "cmdFooterTemplate", QStringLiteral("ひな形を入れる"));
    placeTwips(cmdFooterTemplate, 7320, 6780, 2280, 420);

    connect(cmdFooterTemplate, &QPushButton::clicked, this, &frmBulkSet::cmdFooterTemplate_Click);
}

void frmBulkSet::cmdFooterTemplate_Click()
{
    // What the operator typed is not thrown away without asking.
    if (!txtFooter->toPlainText().trimmed().isEmpty() &&
        platform::msgBox(this,
                         QStringLiteral("入力されている表示事項（フッター）を、ひな形で置き換え"
                                        "ますか？"),
                         platform::MsgIcon::Question,
                         platform::MsgButtons::YesNoDefaultNo) != platform::MsgAnswer::Yes) {
        txtFooter->setFocus();
        return;
    }
    // A mailto-only sender gets the placeholder that will be filled; with neither set, the URL
    // one, which the save then asks to be given.
    const bool useMailto =
        txtUnsubUrl->text().trimmed().isEmpty() && !txtUnsubMailto->text().trimmed().isEmpty();
    txtFooter->setPlainText(bulk::FooterTemplate(useMailto));
    // The first blank to fill: after "送信者名：".
    QTextCursor cursor = txtFooter->textCursor();
    cursor.movePosition(QTextCursor::Start);
    cursor.movePosition(QTextCursor::EndOfLine);
    txtFooter->setTextCursor(cursor);
    txtFooter->setFocus();
}

bool frmBulkSet::takeFooter(bulk::BulkSettings& s)
{
    s.footer = txtFooter->toPlainText();
    QString problem;
    if (bulk::CheckFooter(s, &problem))
        return true;
    tabOptions->setCurrentWidget(pagFooter);
    platform::msgBox(this, problem, platform::MsgIcon::Exclamation);
    txtFooter->setFocus();
    return false;
}
