// Merge fields in the main window: the preview of each row's mail and the test mail's fields.
#include "main_window_fixture.h"
#include "modal_dialogs.h"

#include "gui/merge_preview/frm_merge_preview.h"

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

using Harness = testing_support::MainWindowFixture;
using testing_support::kOperator;
using testing_support::NextDialog;

class TestMergePreview : public QObject
{
    Q_OBJECT
private slots:
    void cleanup() { testing_support::verifyNoWindowsLeft(); }
    void previewAndTestMail();
};

namespace {

// Line, address, subject, sender, body as the preview shows them.
QStringList shown(const frmMergePreview& d)
{
    return {d.txtLine->text(), d.txtAddress->text(), d.txtSubject->text(), d.txtFrom->text(),
            d.txtBody->toPlainText()};
}

} // namespace

void TestMergePreview::previewAndTestMail()
{
    Harness h;
    WriteForm& f = *h.form;
    // As a spreadsheet saves it: a byte-order mark, a header row, a quoted comma, a blank line.
    const QString list = h.useList("\xEF\xBB\xBF"
                                   "メールアドレス,氏名,会社名\r\n"
                                   "a@example.jp,山田,山田商事\r\n"
                                   "\r\n"
                                   "b@example.jp,\"佐藤, 花子\",\r\n"
                                   "c@example.jp,,C社\r\n");
    f.SubjectText->setText("{{氏名}}様へ");
    f.txtFrom->setText("{{会社名|KEZ}}");
    f.BodyText->setPlainText("{{会社名|個人}}\u3000{{ 氏名 }}様\n本文");

    const QStringList row1 = {"2", "a@example.jp", "山田様へ", "山田商事<op@example.jp>",
                              "山田商事\u3000山田様\n本文"};
    QList<QStringList> seen;
    QList<bool> prevEnabled;
    NextDialog<frmMergePreview> script([&](frmMergePreview& d) {
        QCOMPARE(d.windowTitle(), QString("差し込みプレビュー"));
        seen << shown(d);
        prevEnabled << d.cmdPrev->isEnabled();
        d.cmdNext->click();
        seen << shown(d);
        d.cmdNext->click();
        seen << shown(d);
        QVERIFY(!d.cmdNext->isEnabled());
        d.cmdPrev->click();
        d.cmdPrev->click();
        seen << shown(d);
        prevEnabled << d.cmdPrev->isEnabled();
        d.CloseCommand->click();
    });
    f.mnDoc_Preview->trigger();
    QCOMPARE(script.opened(), 1);
    QCOMPARE(seen.size(), 4);
    QCOMPARE(seen[0], row1);
    QCOMPARE(seen[1], QStringList({"4", "b@example.jp", "佐藤, 花子様へ", "KEZ<op@example.jp>",
                                   "個人\u3000佐藤, 花子様\n本文"}));
    // A row whose field is empty shows why it gets no mail instead of a mail.
    QCOMPARE(seen[2], QStringList({"5", "c@example.jp", "", "",
                                   "差し込み項目「氏名」が空のため送信しませんでした"}));
    QCOMPARE(seen[3], row1);
    QCOMPARE(prevEnabled, QList<bool>({false, false}));
    QVERIFY(h.boxTexts().isEmpty());

    // The test mail goes to the operator with the first data row's fields.
    f.cmdTestSend->click();
    QCOMPARE(h.recipients(), QStringList({kOperator}));
    const transport::MailRequest sent = h.transport->sends().front();
    QCOMPARE(sent.subject, QString("[テスト配信] 山田様へ"));
    QCOMPARE(sent.from, QString("山田商事<op@example.jp>"));
    QCOMPARE(sent.body, QString("山田商事\u3000山田様\r\n本文"));

    // Refused, each with its own message, before anything is sent: a field the header row
    // lacks, and a first row that leaves a field without a default empty.
    h.fakes.boxes().shown.clear();
    f.BodyText->setPlainText("{{部署}}");
    f.cmdTestSend->click();
    h.useList("\xEF\xBB\xBFメールアドレス,氏名,会社名\r\na@example.jp,,X\r\n");
    f.BodyText->setPlainText("{{氏名}}");
    f.cmdTestSend->click();
    QCOMPARE(h.boxTexts(),
             QStringList({"差し込み項目「部署」がCSVファイルの見出し行にありません。\n" + list,
                          "差し込み項目「氏名」が空のため送信しませんでした"}));
    QCOMPARE(h.transport->sends().size(), 1);

    // A list of bare addresses fills nothing: the test mail is the texts as typed.
    h.useList("a@example.jp\r\n");
    f.cmdTestSend->click();
    QCOMPARE(h.transport->sends().size(), 2);
    QCOMPARE(h.transport->sends().back().subject, QString("[テスト配信] {{氏名}}様へ"));
    QCOMPARE(h.transport->sends().back().body, QString("{{氏名}}"));
}

QTEST_MAIN(TestMergePreview)
#include "test_merge_preview.moc"
