// Resuming a run the program left mid-way. The interrupted run is a real one: a first window
// sends part of a list while the journal is copied with a mail on its way (as a crash would
// leave it); a second window starts over that copy and is asked about it.
#include "main_window_fixture.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QLockFile>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

using namespace testing_support;
using platform::MsgAnswer;

namespace {

const QString kInFlight = QStringLiteral(
    "前回の配信の中断時に送信中だったため、届いている可能性があります（再送しませんでした）");

// "address=state" per row of the journal's file, and the runs' states; read with plain SQL.
QStringList journalRows(const QString& appDir, const QString& sql)
{
    QStringList out;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "resume_judge");
        db.setDatabaseName(appDir + "/journal/journal.sqlite");
        if (db.open()) {
            QSqlQuery query(db);
            query.exec(sql);
            while (query.next())
                out.append(query.value(0).toString());
        }
    }
    QSqlDatabase::removeDatabase("resume_judge");
    return out;
}

transport::SendOutcome failure(transport::FailureClass failure, int code, bool mayHaveArrived)
{
    transport::SendOutcome outcome;
    outcome.errorText = QStringLiteral("失敗 %1").arg(code);
    outcome.failure = failure;
    outcome.replyCode = code;
    outcome.mayHaveArrived = mayHaveArrived;
    return outcome;
}

} // namespace

class TestResume : public QObject
{
    Q_OBJECT
private slots:
    void resumeAnswers();
    void resumeFillsTheSameRows();
};

void TestResume::resumeAnswers()
{
    const struct
    {
        const char* name;
        MsgAnswer answer;
        bool changeList;
        bool heldElsewhere;       // another window is still sending the run
        QStringList sentOnResume; // after 送信
        QString finalRunState;
    } cases[] = {
        // Only the deferred and the pending ones, then the end notice; no start notice.
        {"yes", MsgAnswer::Yes, false, false, {"c@x.jp", "f@x.jp", kOperator}, "finished"},
        {"no", MsgAnswer::No, false, false, {}, "abandoned"},
        {"list changed", MsgAnswer::Yes, true, false, {}, "abandoned"},
        // Not interrupted at all: no question, and the run is left to the window sending it.
        {"sent by another window", MsgAnswer::Yes, false, true, {}, "running"},
    };
    for (const auto& c : cases) {
        QTemporaryDir files;
        const QString list = files.path() + "/list.csv";
        QFile out(list);
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write("a@x.jp\r\nb@x.jp\r\n\r\nc@x.jp\r\nd@x.jp\r\ne@x.jp\r\nf@x.jp\r\n");
        out.close();
        const QString snapshot = files.path() + "/journal";
        QVERIFY(QDir().mkpath(snapshot));

        {
            MainWindowFixture first;
            first.fillMessage();
            first.form->ToText->setText(list);
            first.transport->setSendOutcome(
                "b@x.jp", failure(transport::FailureClass::Transaction, 550, false));
            first.transport->setSendOutcome(
                "c@x.jp", failure(transport::FailureClass::Transaction, 451, false));
            first.transport->setSendOutcome("d@x.jp",
                                            failure(transport::FailureClass::Connection, 0, true));
            // The crash: the journal as it stands while e's mail is on its way.
            first.transport->holdSend("e@x.jp", [&] {
                for (const char* name : {"journal.sqlite", "journal.sqlite-wal"})
                    QFile::copy(first.app.path() + "/journal/" + name, snapshot + "/" + name);
            });
            first.form->SendCommand->click();
            QTRY_VERIFY_WITH_TIMEOUT(first.ended(), kRunTimeout);
        }
        if (c.changeList) {
            QVERIFY(out.open(QIODevice::Append));
            out.write("g@x.jp\r\n");
            out.close();
        }

        MainWindowFixture second([](aMain_sMail::SettingsRecord& s) { s.ERRLOG = 1; });
        QVERIFY(QDir().mkpath(second.app.path() + "/journal"));
        for (const char* name : {"journal.sqlite", "journal.sqlite-wal"})
            QVERIFY(QFile::copy(snapshot + "/" + name, second.app.path() + "/journal/" + name));
        second.fakes.boxes().answers = {c.answer};
        QLockFile otherWindow(second.app.path() + "/journal/run-1.lock");
        if (c.heldElsewhere)
            QVERIFY(otherWindow.tryLock(0));
        second.form->offerResume();
        if (c.heldElsewhere) {
            QCOMPARE(second.boxTexts(), QStringList());
            QCOMPARE(second.form->ToText->text(), QString());
        } else {
            QCOMPARE(second.boxTexts().value(0),
                     QStringLiteral("前回の配信が途中で終わっています。\n開始：2026/12/06 01:56　"
                                    "送信済み：1件／全 6件\n続きから配信しますか？"));
            QCOMPARE(second.boxCaptions().value(0), QStringLiteral("KEZ-MAILER"));
        }
        if (c.changeList)
            QVERIFY2(second.boxTexts().value(1).contains(list),
                     qPrintable(second.boxTexts().join('|')));
        if (!c.sentOnResume.isEmpty()) {
            QCOMPARE(second.form->ToText->text(), list);
            QCOMPARE(second.form->SubjectText->text(), QStringLiteral("Hello"));
            QCOMPARE(second.form->txtFrom->text(), QStringLiteral("Taro"));
            QCOMPARE(second.form->BodyText->toPlainText(), QStringLiteral("本文です。"));
            second.form->SendCommand->click();
            QTRY_VERIFY_WITH_TIMEOUT(second.ended(), kRunTimeout);
            // a sent, b refused, c deferred then sent, d and e perhaps sent: d, e once each.
            QCOMPARE(second.form->lblSndRec->text(), QStringLiteral("7"));
            const QStringList errors = second.logLines("log/error.log");
            for (const char* address : {"d@x.jp", "e@x.jp"})
                QCOMPARE(errors.filter(address).filter(kInFlight).size(), 1);
            QCOMPARE(errors.filter(kInFlight).size(), 2);
        }
        QCOMPARE(second.recipients(), c.sentOnResume);
        QCOMPARE(journalRows(second.app.path(), "SELECT state FROM runs"),
                 QStringList{c.finalRunState});
        if (c.answer == MsgAnswer::Yes && !c.changeList && !c.heldElsewhere)
            QCOMPARE(journalRows(second.app.path(),
                                 "SELECT address || '=' || state FROM mails ORDER BY seq"),
                     (QStringList{"a@x.jp=sent", "b@x.jp=refused", "c@x.jp=sent",
                                  "d@x.jp=uncertain", "e@x.jp=uncertain", "f@x.jp=sent"}));
    }
}

// A list with columns: the resumed run finds each row again by the line the journal kept, past a
// quoted field that spans two lines, and fills the mail from that row.
void TestResume::resumeFillsTheSameRows()
{
    QTemporaryDir files;
    const QString list = files.path() + "/list.csv";
    QFile out(list);
    QVERIFY(out.open(QIODevice::WriteOnly));
    out.write(
        QStringLiteral("\uFEFFメールアドレス,氏名,備考\r\na@x.jp,青木,\"一行目\r\n二行目\"\r\n"
                       "b@x.jp,馬場,\r\nc@x.jp,千葉,\r\nd@x.jp,土井,至急\r\n")
            .toUtf8());
    out.close();
    const QString snapshot = files.path() + "/journal";
    QVERIFY(QDir().mkpath(snapshot));
    {
        MainWindowFixture first;
        first.fillMessage();
        first.form->ToText->setText(list);
        first.form->SubjectText->setText(QStringLiteral("{{氏名}}様"));
        first.form->BodyText->setPlainText(QStringLiteral("{{氏名}}様 {{備考|なし}}"));
        first.transport->setSendOutcome("b@x.jp",
                                        failure(transport::FailureClass::Transaction, 451, false));
        first.transport->holdSend("c@x.jp", [&] {
            for (const char* name : {"journal.sqlite", "journal.sqlite-wal"})
                QFile::copy(first.app.path() + "/journal/" + name, snapshot + "/" + name);
        });
        first.form->SendCommand->click();
        QTRY_VERIFY_WITH_TIMEOUT(first.ended(), kRunTimeout);
    }

    MainWindowFixture second;
    QVERIFY(QDir().mkpath(second.app.path() + "/journal"));
    for (const char* name : {"journal.sqlite", "journal.sqlite-wal"})
        QVERIFY(QFile::copy(snapshot + "/" + name, second.app.path() + "/journal/" + name));
    second.fakes.boxes().answers = {MsgAnswer::Yes};
    second.form->offerResume();
    QCOMPARE(second.form->SubjectText->text(), QStringLiteral("{{氏名}}様"));
    second.form->SendCommand->click();
    QTRY_VERIFY_WITH_TIMEOUT(second.ended(), kRunTimeout);
    // b deferred and sent again, c in flight at the crash and left, d not reached before.
    QCOMPARE(second.recipients(), (QStringList{"b@x.jp", "d@x.jp", kOperator}));
    QCOMPARE(second.subjects().mid(0, 2), (QStringList{"馬場様", "土井様"}));
    const QList<transport::MailRequest> sends = second.transport->sends();
    QVERIFY2(sends.value(0).body.startsWith(QStringLiteral("馬場様 なし")),
             qPrintable(sends.value(0).body));
    QVERIFY2(sends.value(1).body.startsWith(QStringLiteral("土井様 至急")),
             qPrintable(sends.value(1).body));
    QCOMPARE(
        journalRows(second.app.path(), "SELECT address || '=' || line FROM mails ORDER BY seq"),
        (QStringList{"a@x.jp=2", "b@x.jp=4", "c@x.jp=5", "d@x.jp=6"}));
}

QTEST_MAIN(TestResume)
#include "test_resume.moc"
