#include "core/merge/merge_fields.h"

#include <QTest>

using merge::Columns;
using merge::EmptyField;
using merge::Filled;
using merge::Row;
using merge::Template;

class TestMergeTemplate : public QObject
{
    Q_OBJECT

private slots:
    void fills_data();
    void fills();
};

namespace {

const QStringList kHeader = {QStringLiteral("メールアドレス"), QStringLiteral("氏名"),
                             QStringLiteral("会社名")};

} // namespace

void TestMergeTemplate::fills_data()
{
    // The texts, in order: subject, sender name, body, footer. An empty header means a list
    // without a header row. The outcome is either the missing field, the empty field, or the
    // four filled texts.
    QTest::addColumn<QStringList>("texts");
    QTest::addColumn<QStringList>("header");
    QTest::addColumn<QStringList>("fields");
    QTest::addColumn<QString>("missing");
    QTest::addColumn<QString>("empty");
    QTest::addColumn<QStringList>("filled");

    const QString a = QStringLiteral("a@example.jp");
    QTest::newRow("names, blanks inside the braces, in every text")
        << QStringList{QStringLiteral("{{会社名}}様へ"), QStringLiteral("{{ 氏名 }}"),
                       QStringLiteral("{{会社名}}\u3000{{\u3000氏名\u3000}}様\r\n"),
                       QStringLiteral("宛先 {{メールアドレス}}")}
        << kHeader << QStringList{a, QStringLiteral("山田"), QStringLiteral("山田商事")}
        << QString() << QString()
        << QStringList{QStringLiteral("山田商事様へ"), QStringLiteral("山田"),
                       QStringLiteral("山田商事\u3000山田様\r\n"), QStringLiteral("宛先 ") + a};
    QTest::newRow("numbers without a header row")
        << QStringList{QStringLiteral("{{2}}様"), QString(), QStringLiteral("{{3}}/{{1}}"),
                       QString()}
        << QStringList() << QStringList{a, QStringLiteral("山田"), QStringLiteral("商事")}
        << QString() << QString()
        << QStringList{QStringLiteral("山田様"), QString(), QStringLiteral("商事/") + a, QString()};
    QTest::newRow("numbers with a header row")
        << QStringList{QStringLiteral("{{3}}"), QString(), QString(), QString()} << kHeader
        << QStringList{a, QStringLiteral("山田"), QStringLiteral("商事")} << QString() << QString()
        << QStringList{QStringLiteral("商事"), QString(), QString(), QString()};
    QTest::newRow("defaults for an empty, a blank and an absent field")
        << QStringList{QStringLiteral("{{氏名|お客様}}様"), QStringLiteral("{{会社名|}}"),
                       QStringLiteral("{{ 会社名 | 御中 }}"), QString()}
        << kHeader << QStringList{a, QStringLiteral(" \u3000")} << QString() << QString()
        << QStringList{QStringLiteral("お客様様"), QString(), QStringLiteral("御中"), QString()};
    QTest::newRow("an empty field without a default")
        << QStringList{QStringLiteral("{{会社名|}}"), QString(), QStringLiteral("{{氏名}}様"),
                       QString()}
        << kHeader << QStringList{a, QString(), QString()} << QString() << QStringLiteral("氏名")
        << QStringList();
    QTest::newRow("a blank-only field without a default")
        << QStringList{QString(), QString(), QString(), QStringLiteral("{{会社名}}")} << kHeader
        << QStringList{a, QStringLiteral("x"), QStringLiteral("\t ")} << QString()
        << QStringLiteral("会社名") << QStringList();
    QTest::newRow("a name the header row does not have")
        << QStringList{QStringLiteral("{{氏名}}"), QString(), QStringLiteral("{{部署}}{{電話}}"),
                       QString()}
        << kHeader << QStringList{a} << QStringLiteral("部署") << QString() << QStringList();
    QTest::newRow("a number beyond the header row")
        << QStringList{QString(), QString(), QStringLiteral("{{4}}"), QString()} << kHeader
        << QStringList{a} << QStringLiteral("4") << QString() << QStringList();
    QTest::newRow("a name without a header row")
        << QStringList{QStringLiteral("{{氏名}}"), QString(), QString(), QString()} << QStringList()
        << QStringList{a} << QStringLiteral("氏名") << QString() << QStringList();
    QTest::newRow("column 0 does not exist")
        << QStringList{QStringLiteral("{{0}}"), QString(), QString(), QString()} << QStringList()
        << QStringList{a} << QStringLiteral("0") << QString() << QStringList();
    QTest::newRow("a value holding a field is sent as it is")
        << QStringList{QStringLiteral("{{氏名}}"), QString(), QStringLiteral("{{氏名}}{{会社名}}"),
                       QString()}
        << kHeader << QStringList{a, QStringLiteral("{{会社名}}"), QStringLiteral("{{x}}")}
        << QString() << QString()
        << QStringList{QStringLiteral("{{会社名}}"), QString(), QStringLiteral("{{会社名}}{{x}}"),
                       QString()};
    QTest::newRow("unclosed, nameless, broken over lines: text")
        << QStringList{QStringLiteral("{{氏名"), QStringLiteral("{{}}"),
                       QStringLiteral("{{|x}} {{氏\r\n名}} }}{{"), QStringLiteral("{{ }}")}
        << kHeader << QStringList{a, QStringLiteral("山田")} << QString() << QString()
        << QStringList{QStringLiteral("{{氏名"), QStringLiteral("{{}}"),
                       QStringLiteral("{{|x}} {{氏\r\n名}} }}{{"), QStringLiteral("{{ }}")};
    QTest::newRow("the innermost braces are the field")
        << QStringList{QStringLiteral("{{{氏名}}}"), QStringLiteral("{{a{{氏名}}"), QString(),
                       QString()}
        << kHeader << QStringList{a, QStringLiteral("山田")} << QString() << QString()
        << QStringList{QStringLiteral("{山田}"), QStringLiteral("{{a山田"), QString(), QString()};
    QTest::newRow("line breaks: blanks in headers, CR LF in the body and footer")
        << QStringList{QStringLiteral("{{氏名}}様"), QStringLiteral("{{会社名}}"),
                       QStringLiteral("{{氏名}}\r\n{{会社名}}"), QStringLiteral("{{会社名}}")}
        << kHeader
        << QStringList{a, QStringLiteral("山田\r\n太郎"), QStringLiteral("本社\n営業部\r")}
        << QString() << QString()
        << QStringList{QStringLiteral("山田 太郎様"), QStringLiteral("本社 営業部 "),
                       QStringLiteral("山田\r\n太郎\r\n本社\r\n営業部\r\n"),
                       QStringLiteral("本社\r\n営業部\r\n")};
    QTest::newRow("plain texts untouched")
        << QStringList{QStringLiteral(" 件名 { x } "), QStringLiteral("送信者"),
                       QStringLiteral("本文\r\n{a} }} {{\r\n"), QStringLiteral("{address}")}
        << kHeader << QStringList{a} << QString() << QString()
        << QStringList{QStringLiteral(" 件名 { x } "), QStringLiteral("送信者"),
                       QStringLiteral("本文\r\n{a} }} {{\r\n"), QStringLiteral("{address}")};
}

void TestMergeTemplate::fills()
{
    QFETCH(QStringList, texts);
    QFETCH(QStringList, header);
    QFETCH(QStringList, fields);
    QFETCH(QString, missing);
    QFETCH(QString, empty);
    QFETCH(QStringList, filled);

    const Template tmpl(texts.at(0), texts.at(1), texts.at(2), texts.at(3));
    const Columns columns{!header.isEmpty(), header};
    const std::optional<QString> missingField = tmpl.missingField(columns);
    QCOMPARE(missingField.value_or(QString()), missing);
    if (!missing.isEmpty())
        return;

    const auto result = tmpl.fill(columns, Row{2, fields});
    if (!empty.isEmpty()) {
        QVERIFY(std::holds_alternative<EmptyField>(result));
        QCOMPARE(std::get<EmptyField>(result).name, empty);
        QCOMPARE(merge::EmptyFieldText(empty),
                 QStringLiteral("差し込み項目「") + empty +
                     QStringLiteral("」が空のため送信しませんでした"));
        return;
    }
    QVERIFY(std::holds_alternative<Filled>(result));
    const Filled& out = std::get<Filled>(result);
    QCOMPARE((QStringList{out.subject, out.senderName, out.body, out.footer}), filled);
    QCOMPARE(tmpl.isPlain(), texts == filled);
}

QTEST_GUILESS_MAIN(TestMergeTemplate)
#include "test_merge_template.moc"
