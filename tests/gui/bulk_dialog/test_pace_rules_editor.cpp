// The table of pacing rules as the operator fills it: by the keyboard through the program's own
// cell boxes, with the carriers' values, and refusing a row that is no rule with that row made
// the current one.
#include "gui/bulk_dialog/pace_rules_editor.h"

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>

using pacing::PaceRule;

class TestPaceRulesEditor : public QObject
{
    Q_OBJECT

private slots:
    void refusesRowsThatAreNoRule_data();
    void refusesRowsThatAreNoRule();
    void fillsInByKeyboardAndCarrierValues();
};

void TestPaceRulesEditor::refusesRowsThatAreNoRule_data()
{
    QTest::addColumn<QStringList>("cells"); // three a row
    QTest::addColumn<QString>("problem");   // empty: read as the rules below
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("column");

    QTest::newRow("rules") << QStringList{" 例え.jp ", "2", "0", "*.ne.jp", "0", "100"} << "" << -1
                           << -1;
    QTest::newRow("an empty gap") << QStringList{"a.jp", "1", "1", "b.jp", "", "1"}
                                  << "送信ペースの2行目: 最小間隔（秒）は 0 以上の整数" << 1 << 1;
    QTest::newRow("a limit too large") << QStringList{"a.jp", "1", "1000001"}
                                       << "1時間の上限（通）は 0 から 1000000 まで" << 0 << 2;
    QTest::newRow("the same domain twice") << QStringList{"a.jp", "1", "1", "A.JP", "2", "2"}
                                           << "2行目: 宛先ドメイン「A.JP」が２度" << 1 << 0;
    QTest::newRow("an empty domain")
        << QStringList{"a.jp", "1", "1", "", "0", "0"} << "2行目: 宛先ドメインが空です" << 1 << 0;
}

void TestPaceRulesEditor::refusesRowsThatAreNoRule()
{
    QFETCH(QStringList, cells);
    QFETCH(QString, problem);
    QFETCH(int, row);
    QFETCH(int, column);
    PaceRulesEditor editor;
    editor.setRules(QList<PaceRule>(cells.size() / 3));
    for (int i = 0; i < cells.size(); ++i)
        editor.tblPaceRules->item(i / 3, i % 3)->setText(cells.at(i));
    QString why;
    const std::optional<QList<PaceRule>> rules = editor.rules(&why);
    if (problem.isEmpty()) {
        QVERIFY2(rules, qPrintable(why));
        const QList<PaceRule> expected = {{QStringLiteral("例え.jp"), 2, 0},
                                          {QStringLiteral("*.ne.jp"), 0, 100}};
        QCOMPARE(*rules, expected);
        return;
    }
    QVERIFY(!rules);
    QVERIFY2(why.contains(problem), qPrintable(why));
    QCOMPARE(editor.tblPaceRules->currentRow(), row);
    QCOMPARE(editor.tblPaceRules->currentColumn(), column);
}

void TestPaceRulesEditor::fillsInByKeyboardAndCarrierValues()
{
    PaceRulesEditor editor;
    editor.setRules({{QStringLiteral("DOCOMO.ne.jp"), 1, 1}, {QStringLiteral("gmail.com"), 1, 0}});
    editor.show();
    QVERIFY(QTest::qWaitForWindowActive(&editor));

    // A new row opens its domain's box; the number boxes take digits only.
    QTest::keyClick(&editor, Qt::Key_W, Qt::AltModifier);
    QTRY_VERIFY(qobject_cast<QLineEdit*>(QApplication::focusWidget()));
    QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("mail.example.jp"));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QTRY_VERIFY(QApplication::focusWidget()->objectName() == u"txtPaceNumber");
    QLineEdit* gap = qobject_cast<QLineEdit*>(QApplication::focusWidget());
    gap->selectAll();
    QTest::keyClicks(gap, QStringLiteral("-4x5"));
    QTest::keyClick(gap, Qt::Key_Return);
    QTRY_COMPARE(editor.tblPaceRules->item(2, 1)->text(), QStringLiteral("45"));

    // The carriers' values go over a row of the same domain and are added for the others.
    // An access key clicks its button a moment later, as a click shows itself pressed.
    QTest::keyClick(&editor, Qt::Key_R, Qt::AltModifier);
    QTRY_COMPARE(editor.tblPaceRules->rowCount(), 8);
    QString why;
    const std::optional<QList<PaceRule>> rules = editor.rules(&why);
    QVERIFY2(rules, qPrintable(why));
    const QList<PaceRule> expected = {
        {QStringLiteral("DOCOMO.ne.jp"), 3, 600},   {QStringLiteral("gmail.com"), 1, 0},
        {QStringLiteral("mail.example.jp"), 45, 0}, {QStringLiteral("ezweb.ne.jp"), 3, 600},
        {QStringLiteral("au.com"), 3, 600},         {QStringLiteral("softbank.ne.jp"), 3, 600},
        {QStringLiteral("i.softbank.jp"), 3, 600},  {QStringLiteral("ymobile.ne.jp"), 3, 600}};
    QCOMPARE(*rules, expected);

    // The second row goes.
    editor.tblPaceRules->setCurrentCell(1, 0);
    QTest::keyClick(&editor, Qt::Key_X, Qt::AltModifier);
    QTRY_COMPARE(editor.tblPaceRules->rowCount(), 7);
    QCOMPARE(editor.rules(nullptr)->at(1).pattern, QStringLiteral("mail.example.jp"));
}

QTEST_MAIN(TestPaceRulesEditor)
#include "test_pace_rules_editor.moc"
