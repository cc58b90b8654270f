// The results window as the operator meets it: opened from the file menu, reached by its access
// keys, and its retry button writing the list of the addresses worth another try.
#include "journal_test_db.h"
#include "main_window_fixture.h"
#include "modal_dialogs.h"

#include "core/journal/journal_report.h"
#include "gui/results_window/frm_results.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRegularExpression>
#include <QTableView>
#include <QTest>

using testing_support::MainWindowFixture;
using testing_support::NextDialog;
using testing_support::runRow;

namespace {

QString mail(int run, int seq, const QString& address, const QString& state)
{
    return QStringLiteral("INSERT INTO mails VALUES(%1, %2, %2, '%3', '%4', "
                          "'2026-12-06T10:00:00', '')")
        .arg(run)
        .arg(seq)
        .arg(address, state);
}

// Run 1 has every kind of failure, run 2 nothing worth a retry, run 3 is still running.
void makeJournal(const QString& appDir)
{
    const QString path = journal::JournalReport::pathIn(appDir);
    QDir().mkpath(QFileInfo(path).absolutePath());
    testing_support::runSql(
        path,
        testing_support::kJournalSchema +
            QStringList{
                runRow(1, "2026-12-06T10:00:00", "interrupted"), mail(1, 1, "a@example.jp", "sent"),
                mail(1, 2, "b@example.jp", "refused"), mail(1, 3, "c@example.jp", "deferred"),
                mail(1, 4, "d@example.jp", "uncertain"), mail(1, 5, "e@example.jp", "skipped"),
                mail(1, 6, "f@example.jp", "sending"), mail(1, 7, "𠮷田@例え.jp", "deferred"),
                mail(1, 8, "g@example.jp", "pending"), runRow(2, "2026-12-06T11:00:00", "finished"),
                mail(2, 1, "a@example.jp", "sent"), mail(2, 2, "b@example.jp", "refused"),
                runRow(3, "2026-12-06T12:00:00", "running"),
                mail(3, 1, "c@example.jp", "deferred")});
}

// The list file as the recipient list would see it: its byte-order mark, then its lines.
QStringList listLines(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {QStringLiteral("(unreadable)")};
    QByteArray bytes = file.readAll();
    if (!bytes.startsWith("\xEF\xBB\xBF"))
        return {QStringLiteral("(no byte-order mark)")};
    QStringList lines = QString::fromUtf8(bytes.mid(3)).split(QStringLiteral("\r\n"));
    if (lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

} // namespace

class TestResultsWindow : public QObject
{
    Q_OBJECT
private slots:
    void cleanup() { testing_support::verifyNoWindowsLeft(); }
    void menuAndAccessKeys();
    void retryButton();
    void csvButton();
};

void TestResultsWindow::menuAndAccessKeys()
{
    MainWindowFixture h;
    makeJournal(h.app.path());
    QCOMPARE(h.form->mnFile->actions().last(), h.form->mnFile_Results);
    QCOMPARE(h.form->mnFile_Results->text(), QStringLiteral("配信結果(&L)..."));

    QStringList keys;
    QStringList reached;
    NextDialog<frmResults> script([&](frmResults& d) {
        QCOMPARE(d.windowTitle(), QStringLiteral("ＫＥＺ－ＭＡＩＬＥＲ　配信結果"));
        // The runs newest first; the newest is shown.
        QCOMPARE(d.grdRuns->model()->rowCount(), 3);
        QCOMPARE(d.grdRuns->currentIndex().row(), 0);
        const QRegularExpression key(QStringLiteral("&(\\w)"));
        for (QWidget* w : d.findChildren<QWidget*>()) {
            QString text;
            if (auto* label = qobject_cast<QLabel*>(w))
                text = label->text();
            else if (auto* button = qobject_cast<QAbstractButton*>(w))
                text = button->text();
            if (const QRegularExpressionMatch m = key.match(text); m.hasMatch())
                keys << m.captured(1).toUpper();
        }
        // Each key reaches its control: the list of a label, the box itself.
        QVERIFY(QTest::qWaitForWindowActive(&d));
        const std::pair<Qt::Key, QWidget*> targets[] = {{Qt::Key_D, d.grdDomains},
                                                        {Qt::Key_A, d.grdFailed},
                                                        {Qt::Key_U, d.chkUncertain},
                                                        {Qt::Key_N, d.grdRuns}};
        for (const auto& [letter, target] : targets) {
            QTest::keyClick(&d, letter, Qt::AltModifier);
            if (QApplication::focusWidget() == target)
                reached << target->objectName();
        }
        d.CloseCommand->click();
    });
    h.form->mnFile_Results->trigger();
    QCOMPARE(script.opened(), 1);
    QCOMPARE(keys.size(), 7);
    QCOMPARE(QSet<QString>(keys.begin(), keys.end()).size(), keys.size());
    QCOMPARE(reached, QStringList({"grdDomains", "grdFailed", "chkUncertain", "grdRuns"}));
}

void TestResultsWindow::retryButton()
{
    MainWindowFixture h;
    makeJournal(h.app.path());
    const QString before = h.useList("x@example.jp\r\n");
    const QString first = h.app.file(QStringLiteral("csv/再配信_20261206_1300.csv"));
    const QString second = h.app.file(QStringLiteral("csv/再配信_20261206_1301.csv"));
    const QString nothing = QStringLiteral("再配信する宛先がありません。");

    struct Case
    {
        const char* name;
        int row; // 0 is the newest run
        bool uncertain;
        bool listLocked;
        QTime now;
        QString path;      // of the file written; empty when refused
        QStringList lines; // of that file
        QString box;       // the start of the one box shown
        QString listAfter; // ToText afterwards
    };
    const QList<Case> cases = {
        {"deferred only, never refused",
         2,
         false,
         false,
         QTime(13, 0),
         first,
         {"c@example.jp", "𠮷田@例え.jp"},
         "再配信リスト（2件）を作り",
         first},
        {"with the uncertain, and those left sending",
         2,
         true,
         false,
         QTime(13, 1),
         second,
         {"c@example.jp", "d@example.jp", "f@example.jp", "𠮷田@例え.jp"},
         "再配信リスト（4件）を作り",
         second},
        {"the same minute again",
         2,
         false,
         false,
         QTime(13, 1, 40),
         second,
         {"c@example.jp", "d@example.jp", "f@example.jp", "𠮷田@例え.jp"},
         "同じ名前の再配信リストがすでにあります",
         second},
        {"only sent and refused", 1, true, false, QTime(13, 2), {}, {}, nothing, second},
        {"a run still running",
         0,
         true,
         false,
         QTime(13, 3),
         {},
         {},
         "この配信はまだ終わって",
         second},
        {"while a run holds the list", 2, true, true, QTime(13, 4), {}, {}, "配信中のため", second},
    };
    QCOMPARE(h.form->ToText->text(), before);
    for (const Case& c : cases) {
        h.fakes.boxes().shown.clear();
        h.clock->set(QDateTime(QDate(2026, 12, 6), c.now));
        h.form->ToText->setEnabled(!c.listLocked);
        NextDialog<frmResults> script([&](frmResults& d) {
            d.grdRuns->setCurrentIndex(d.grdRuns->model()->index(c.row, 0));
            // Off by default.
            QVERIFY(!d.chkUncertain->isChecked());
            d.chkUncertain->setChecked(c.uncertain);
            d.cmdRetry->click();
        });
        h.form->mnFile_Results->trigger();
        h.form->ToText->setEnabled(true);
        QVERIFY2(script.opened() == 1, c.name);
        QVERIFY2(h.boxTexts().size() == 1 && h.boxTexts().front().startsWith(c.box),
                 qPrintable(QString::fromUtf8(c.name) + ": " + h.boxTexts().join('|')));
        QVERIFY2(h.form->ToText->text() == QDir::toNativeSeparators(c.listAfter), c.name);
        if (!c.path.isEmpty())
            QVERIFY2(listLines(c.path) == c.lines, c.name);
        // Every refusal leaves csv/ with the two lists made so far.
        QVERIFY2(QDir(h.app.file("csv")).entryList({"再配信_*"}, QDir::Files).size() ==
                     (c.path == first ? 1 : 2),
                 c.name);
    }
}

void TestResultsWindow::csvButton()
{
    MainWindowFixture h;
    makeJournal(h.app.path());
    const QString saved = h.app.file(QStringLiteral("out.csv"));
    const QString unwritable = h.app.file(QStringLiteral("no such folder/out.csv"));
    struct Case
    {
        const char* name;
        std::optional<QString> answer; // of the save dialog; nullopt: cancelled
        platform::MsgIcon icon;        // of the one box; None: no box
    };
    const Case cases[] = {
        {"cancelled", std::nullopt, platform::MsgIcon::None},
        {"saved", saved, platform::MsgIcon::Information},
        {"folder missing", unwritable, platform::MsgIcon::Critical},
    };
    for (const Case& c : cases) {
        h.fakes.boxes().shown.clear();
        h.fakes.dialogs().saveRequests.clear();
        h.fakes.dialogs().answers = {c.answer};
        NextDialog<frmResults> script([](frmResults& d) {
            // The oldest run, started 10:00 on 6 December.
            d.grdRuns->setCurrentIndex(d.grdRuns->model()->index(2, 0));
            d.cmdCsv->click();
        });
        h.form->mnFile_Results->trigger();
        QVERIFY2(script.opened() == 1, c.name);
        QVERIFY2(h.fakes.dialogs().saveRequests.size() == 1, c.name);
        const platform::SaveFileRequest& request = h.fakes.dialogs().saveRequests.front();
        QCOMPARE(request.fileName, QStringLiteral("配信結果_20261206_1000.csv"));
        QCOMPARE(request.initialDir, h.app.path() + QStringLiteral("/csv"));
        const auto& shown = h.fakes.boxes().shown;
        QVERIFY2(shown.size() == (c.icon == platform::MsgIcon::None ? 0 : 1), c.name);
        if (!shown.empty()) {
            QCOMPARE(shown.front().icon, c.icon);
            QVERIFY2(shown.front().text.contains(QDir::toNativeSeparators(*c.answer)), c.name);
        }
    }
    // The saved file starts with the byte-order mark and the header; its records are judged by
    // Python in the core test.
    QVERIFY(
        h.app.read(QStringLiteral("out.csv"))
            .startsWith("\xEF\xBB\xBF" + QStringLiteral("行,アドレス,結果,時刻,サーバーの応答\r\n"
                                                        "1,a@example.jp,送信済み")
                                             .toUtf8()));
    QVERIFY(!QFileInfo::exists(unwritable));
}

QTEST_MAIN(TestResultsWindow)
#include "test_results_window.moc"
