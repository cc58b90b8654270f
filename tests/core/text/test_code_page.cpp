// Log lines in code page 932 with "&#NNNN;" for the characters it can't hold, judged by Python's
// cp932 codec (Microsoft's table, which Windows editors and spreadsheets read the file with).
#include "fakes.h"

#include "core/delivery/delivery_log.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

using testing_support::TempAppDir;

namespace {

// Reads a log file the way a code page 932 editor does, strictly, then turns each "&#NNNN;" back
// into its character. Reports the lines, and every reference to a character cp932 could have
// held as it is.
const char kCp932Reader[] = R"(
import json, re, sys
data = open(sys.argv[1], "rb").read()
out = {"crlf_end": data.endswith(b"\r\n"), "lines": [], "needless": []}
for raw in data[:-2].split(b"\r\n"):
    text = raw.decode("cp932")
    for m in re.finditer(r"&#(\d+);", text):
        ch = chr(int(m.group(1)))
        try:
            if ch.encode("cp932").decode("cp932") == ch:
                out["needless"].append(m.group(0))
        except UnicodeEncodeError:
            pass
    out["lines"].append(re.sub(r"&#(\d+);", lambda m: chr(int(m.group(1))), text))
print(json.dumps(out, ensure_ascii=False))
)";

} // namespace

class TestCodePage : public QObject
{
    Q_OBJECT

private slots:
    void logLinesKeepEveryCharacter()
    {
        const QStringList lines = {
            QStringLiteral("müller@example.de,26/12/06 01:56:16"),
            QStringLiteral("宛先アドレスが拒否されました: 550 5.1.1 Empfänger unbekannt 😀,"
                           "müller@example.de,26/12/06 01:56:17"),
            QStringLiteral("髙木﨑子①㈱～ｶﾀｶﾅ \\~ ¥100,a@example.jp,26/12/06 01:56:18"),
            QStringLiteral("〜‖−¢£¬ 𠮷野家 €é Ω,b@example.jp,26/12/06 01:56:19"),
            QStringLiteral("plain@example.jp,26/12/06 01:56:20"),
        };
        TempAppDir app;
        const QString path = app.file(QStringLiteral("log/send.log"));
        // None is refused: a character is never a reason to pause the run.
        for (const QString& line : lines)
            QVERIFY(delivery::AppendLogLine(path, line, nullptr));

        QProcess python;
        python.start(QStringLiteral("/usr/bin/python3"),
                     {QStringLiteral("-c"), QString::fromLatin1(kCp932Reader), path});
        QVERIFY(python.waitForFinished(30000));
        QVERIFY2(python.exitCode() == 0, python.readAllStandardError().constData());
        const QJsonObject read = QJsonDocument::fromJson(python.readAllStandardOutput()).object();
        QVERIFY(read.value("crlf_end").toBool());
        QCOMPARE(read.value("lines").toArray(), QJsonArray::fromStringList(lines));
        QCOMPARE(read.value("needless").toArray(), QJsonArray());

        // The references themselves, as a person sees them in the file.
        const QByteArray bytes = app.read(QStringLiteral("log/send.log"));
        QVERIFY(bytes.startsWith("m&#252;ller@example.de,26/12/06 01:56:16\r\n"));
        QVERIFY(bytes.contains("Empf&#228;nger unbekannt &#128512;,m&#252;ller@example.de"));
        QVERIFY(bytes.endsWith("\r\nplain@example.jp,26/12/06 01:56:20\r\n"));
    }
};

QTEST_GUILESS_MAIN(TestCodePage)
#include "test_code_page.moc"
