// The checks before a mailing as the operator meets them: their window from the settings menu,
// and the question at the send button, asked once per sender domain and day.
#include "bulk_test_tools.h"
#include "main_window_fixture.h"
#include "modal_dialogs.h"

#include "gui/preflight_window/frm_preflight.h"

#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

using platform::MsgAnswer;
using testing_support::MainWindowFixture;
using testing_support::NextDialog;
using testing_support::preflightResults;

namespace {

const QString kQuestion =
    QStringLiteral("配信前チェックで問題が見つかりました。このまま配信しますか？");

QString shownMarks(const frmPreflight& window)
{
    QString out;
    for (const QLabel* mark : window.marks)
        out += mark->text();
    return out;
}

} // namespace

class TestPreflight : public QObject
{
    Q_OBJECT
private slots:
    void cleanup() { testing_support::verifyNoWindowsLeft(); }
    void window();
    void atSendButton_data();
    void atSendButton();
};

void TestPreflight::window()
{
    MainWindowFixture h;
    h.preflightScript->results = preflightResults(QStringLiteral("✓⚠✗✓✓✗"));
    // What the window shows while the checks run, seen from inside them.
    QStringList whileRunning;
    h.preflightScript->during = [&whileRunning] {
        if (auto* w = qobject_cast<frmPreflight*>(QApplication::activeModalWidget()))
            whileRunning << w->lblStatus->text()
                         << (w->cmdRecheck->isEnabled() ? "enabled" : "disabled");
    };
    QString first, second, firstDetail;
    NextDialog<frmPreflight> script([&](frmPreflight& w) {
        QTRY_COMPARE(h.preflightScript->calls.size(), 1);
        first = shownMarks(w);
        firstDetail = w.titles[2]->text() + "|" + w.details[2]->text();
        h.preflightScript->results = preflightResults(QStringLiteral("✓✓✓✓✓✓"));
        w.cmdRecheck->click();
        second = shownMarks(w);
        w.cmdClose->click();
    });
    h.form->mnOption_Preflight->trigger();

    QCOMPARE(script.opened(), 1);
    QCOMPARE(first, QString("✓⚠✗✓✓✗"));
    QCOMPARE(firstDetail, QString("check 3|detail 3"));
    QCOMPARE(second, QString("✓✓✓✓✓✓"));
    QCOMPARE(whileRunning,
             QStringList({"確認しています…", "disabled", "確認しています…", "disabled"}));
    QCOMPARE(h.preflightScript->calls.first().senderAddress, testing_support::kOperator);
    QCOMPARE(h.preflightScript->limits.first(), std::chrono::milliseconds(5000));

    // Options a run would refuse are refused here too, not checked as if they were off.
    h.app.write("ini/bulk.ini", "DKIM=1\r\nGARBAGE\r\n");
    NextDialog<frmPreflight> none([](frmPreflight&) {});
    h.form->mnOption_Preflight->trigger();
    QCOMPARE(none.opened(), 0);
    QCOMPARE(h.preflightScript->calls.size(), 2);
    QCOMPARE(h.fakes.boxes().shown.size(), size_t(1));
    QCOMPARE(h.fakes.boxes().shown.back().icon, platform::MsgIcon::Exclamation);
    QVERIFY(h.boxTexts().last().contains("bulk.ini"));
}

void TestPreflight::atSendButton_data()
{
    QTest::addColumn<QString>("marks");
    // The answers to the boxes in turn, Y or N; without one a box takes its default.
    QTest::addColumn<QString>("answers");
    // The first start is refused after the checks, by a failed intake of returned mail.
    QTest::addColumn<bool>("intakeFailsFirst");
    // Days between the first press and a second one; -1: no second press.
    QTest::addColumn<int>("daysToSecond");
    // A second press while the checks run.
    QTest::addColumn<bool>("pressDuringChecks");
    QTest::addColumn<int>("checks");
    QTest::addColumn<int>("questions");
    QTest::addColumn<bool>("runs");

    QTest::newRow("✗, No: no run, and asked again")
        << "✓✓✓✓✓✗"
        << "N" << false << 0 << false << 2 << 2 << false;
    QTest::newRow("✗, Yes: the run starts") << "✗✓✓✓✓✓"
                                            << "Y" << false << -1 << false << 1 << 1 << true;
    QTest::newRow("all ✓: no question, one start however often pressed")
        << "✓✓✓✓✓✓"
        << "" << false << -1 << true << 1 << 0 << true;
    QTest::newRow("⚠ only: no question") << "⚠✓⚠✓⚠⚠"
                                         << "" << false << -1 << false << 1 << 0 << true;
    QTest::newRow("let through today: not checked again")
        << "✓✓✗✓✓✓"
        << "Y" << true << 0 << false << 1 << 1 << true;
    QTest::newRow("a new day checks again") << "✓✓✓✓✓✓"
                                            << "" << true << 1 << false << 2 << 0 << true;
}

void TestPreflight::atSendButton()
{
    QFETCH(QString, marks);
    QFETCH(QString, answers);
    QFETCH(bool, intakeFailsFirst);
    QFETCH(int, daysToSecond);
    QFETCH(bool, pressDuringChecks);
    QFETCH(int, checks);
    QFETCH(int, questions);
    QFETCH(bool, runs);

    MainWindowFixture h;
    h.preflightScript->results = preflightResults(marks);
    if (pressDuringChecks)
        h.preflightScript->during = [&h, pressed = false]() mutable {
            if (!std::exchange(pressed, true))
                h.form->SendCommand->click();
        };
    if (intakeFailsFirst) {
        h.app.write("csv/stop.csv", "old@example.org\r\n");
        h.app.write("ini/bulk.ini",
                    bulk_testing::completeBulkIni("SUPPRESS=1\r\nSUPPRESSPATH=" +
                                                  h.app.file("csv/stop.csv").toUtf8()));
        h.intakeScript->outcome.ok = false;
        h.intakeScript->outcome.error = "POP3 down";
    }
    auto& boxes = h.fakes.boxes();
    for (QChar a : answers)
        boxes.answers.push_back(a == 'Y' ? MsgAnswer::Yes : MsgAnswer::No);
    // The details are one button away: the window of the results the question was asked on.
    QStringList detailMarks;
    boxes.onShow = [&](const platform::MessageBoxRequest& r) {
        if (r.text != kQuestion || !r.showDetails)
            return;
        const qsizetype before = h.preflightScript->calls.size();
        NextDialog<frmPreflight> details([&](frmPreflight& w) { detailMarks << shownMarks(w); });
        r.showDetails(h.form.get());
        if (h.preflightScript->calls.size() != before)
            detailMarks << "checked again";
    };
    h.fillMessage();
    h.useList("a@example.jp\r\n");

    h.form->SendCommand->click();
    if (daysToSecond >= 0) {
        h.intakeScript->outcome.ok = true;
        h.clock->advanceSeconds(qint64(daysToSecond) * 24 * 60 * 60);
        QVERIFY(h.form->SendCommand->isEnabled());
        h.form->SendCommand->click();
    }
    if (runs)
        QTRY_VERIFY_WITH_TIMEOUT(h.ended(), testing_support::kRunTimeout);

    QCOMPARE(h.preflightScript->calls.size(), checks);
    int asked = 0;
    for (const platform::MessageBoxRequest& r : boxes.shown)
        if (r.text == kQuestion) {
            QCOMPARE(r.icon, platform::MsgIcon::Question);
            QCOMPARE(r.buttons, platform::MsgButtons::YesNoDefaultNo);
            ++asked;
        }
    QCOMPARE(asked, questions);
    QCOMPARE(detailMarks, QStringList(questions, marks));
    QCOMPARE(h.recipients().count("a@example.jp"), runs ? 1 : 0);
    if (!runs) {
        // Nothing was locked or sent, and the operator is back at the list.
        QVERIFY(h.recipients().isEmpty());
        QVERIFY(!h.form->run.started);
        QVERIFY(h.form->SendCommand->isEnabled());
        QCOMPARE(h.form->focusWidget(), h.form->ToText);
    }
}

QTEST_MAIN(TestPreflight)
#include "test_preflight.moc"
