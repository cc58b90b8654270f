#include "core/platform/text_files.h"
#include "core/settings/a_main_smail.h"
#include "core/settings/settings_file.h"
#include "fakes.h"

#include <QFile>
#include <QFileInfo>
#include <QTest>

#include <cmath>
#include <limits>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/resource.h>
#endif

using aMain_sMail::CheckSettings;
using aMain_sMail::LoadSettings;
using aMain_sMail::SaveSettings;
using aMain_sMail::Settings;
using aMain_sMail::SettingsRecord;
using testing_support::TempAppDir;

namespace {

QByteArray cp932(const QString& text)
{
    return platform::encodeCp932(text).value();
}

SettingsRecord sampleRecord()
{
    SettingsRecord r;
    r.EDITPATH = QStringLiteral("C:\\エディタ\\edit.exe");
    r.SMTP = QStringLiteral("smtp.example.jp");
    r.POP3 = QStringLiteral("pop.example.jp");
    r.MAIL = QStringLiteral("kez@example.jp");
    r.USERID = QStringLiteral("kez");
    r.IDPAS = QStringLiteral("pa=ss  ");
    r.APOP = 1;
    r.SENDLOG = 0;
    r.SENDLOGPAS = QStringLiteral("  C:\\log\\send.log  ");
    r.ERRLOG = 1;
    r.ERRLOGMSG = -3;
    r.ERRLOGPAS = QStringLiteral(" C:\\log\\err.log");
    r.SENDSPAN = 1000;
    r.POP3TIME = 5;
    return r;
}

// The exact bytes that saving sampleRecord() must produce.
QByteArray sampleFileBytes()
{
    return cp932(QStringLiteral("EDITPATH=C:\\エディタ\\edit.exe\r\n"
                                "SMTP=smtp.example.jp\r\n"
                                "POP3=pop.example.jp\r\n"
                                "MAIL=kez@example.jp\r\n"
                                "USERID=kez\r\n"
                                "IDPAS=pa=ss  \r\n"
                                "APOP= 1\r\n"
                                "SENDLOG= 0\r\n"
                                "SENDLOGPAS=C:\\log\\send.log\r\n"
                                "ERRLOG= 1\r\n"
                                "ERRLOGMSG=-3\r\n"
                                "ERRLOGPAS=C:\\log\\err.log\r\n"
                                "SENDSPAN= 1000\r\n"
                                "POP3TIME= 5\r\n"));
}

} // namespace

class TestSettingsFile : public QObject
{
    Q_OBJECT

private slots:
    void init() { aMain_sMail::ResetProcessState(); }

    void numbers_data();
    void numbers();
    void numberHelpersSaturate();
    void leadingNumberExtremes_data();
    void leadingNumberExtremes();
    void missingFileLeavesRecord();
    void partialAndEmptyFiles();
    void lineGrammar();
    void checkSettings_data();
    void checkSettings();
    void saveWritesFourteenLinesInOrder();
    void saveRoundTrips();
    void saveCreatesFolderForOwnerOnly();
    void saveRefusesValueCp932CannotHold();
    void saveRefusesWhatWouldChangeTheLines_data();
    void saveRefusesWhatWouldChangeTheLines();
    void failedSaveKeepsOldFile();
};

void TestSettingsFile::numbers_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<int>("apop");
    QTest::addColumn<qint32>("sendspan");
    QTest::addColumn<int>("pop3time");

    // One line per row; the other fields keep a marker to show they were not touched.
    QTest::newRow("apop without space") << QByteArray("APOP=1") << 1 << 7 << 7;
    QTest::newRow("apop with space") << QByteArray("APOP= 1") << 1 << 7 << 7;
    QTest::newRow("leading space") << QByteArray("SENDSPAN= 1500") << 7 << 1500 << 7;
    QTest::newRow("letters") << QByteArray("SENDSPAN=abc") << 7 << 0 << 7;
    QTest::newRow("empty value") << QByteArray("SENDSPAN=") << 7 << 0 << 7;
    QTest::newRow("digits then letters") << QByteArray("SENDSPAN=12ms") << 7 << 12 << 7;
    QTest::newRow("blanks inside") << QByteArray("SENDSPAN=1 5\t0 0") << 7 << 1500 << 7;
    // A lone line feed ends a line, as in a file mended with a Linux editor.
    QTest::newRow("lone line feed ends the line") << QByteArray("SENDSPAN= 15\n00") << 7 << 15 << 7;
    QTest::newRow("lf line ends") << QByteArray("APOP= 1\nSENDSPAN= 250\nPOP3TIME= 3\n") << 1 << 250
                                  << 3;
    QTest::newRow("half to even down") << QByteArray("POP3TIME=2.5") << 7 << 7 << 2;
    QTest::newRow("half to even up") << QByteArray("POP3TIME=3.5") << 7 << 7 << 4;
    QTest::newRow("negative half") << QByteArray("POP3TIME=-2.5") << 7 << 7 << -2;
    QTest::newRow("above half") << QByteArray("POP3TIME=2.51") << 7 << 7 << 3;
    QTest::newRow("second point ends") << QByteArray("POP3TIME=1.2.9") << 7 << 7 << 1;
    QTest::newRow("sign after blank") << QByteArray("POP3TIME= - 12") << 7 << 7 << -12;
    QTest::newRow("plus sign") << QByteArray("POP3TIME=+12") << 7 << 7 << 12;
    QTest::newRow("two signs") << QByteArray("POP3TIME=--12") << 7 << 7 << 0;
    QTest::newRow("no exponent") << QByteArray("POP3TIME=1e3") << 7 << 7 << 1;
    QTest::newRow("point only") << QByteArray("POP3TIME=.") << 7 << 7 << 0;
    QTest::newRow("16-bit saturates up") << QByteArray("POP3TIME=99999") << 7 << 7 << 32767;
    QTest::newRow("16-bit saturates down") << QByteArray("POP3TIME=-99999") << 7 << 7 << -32768;
    QTest::newRow("16-bit edge") << QByteArray("APOP=32767.4") << 32767 << 7 << 7;
    QTest::newRow("32-bit saturates")
        << QByteArray("SENDSPAN=99999999999999999999") << 7 << qint32(2147483647) << 7;
    QTest::newRow("32-bit saturates down")
        << QByteArray("SENDSPAN=-3000000000") << 7 << qint32(-2147483647 - 1) << 7;
    QTest::newRow("huge number") << QByteArray("SENDSPAN=" + QByteArray(99, '9')) << 7
                                 << qint32(2147483647) << 7;
}

void TestSettingsFile::numbers()
{
    QFETCH(QByteArray, line);
    QFETCH(int, apop);
    QFETCH(qint32, sendspan);
    QFETCH(int, pop3time);

    TempAppDir app;
    app.write(QStringLiteral("ini/kezmail.ini"), line + "\r\n");
    Settings.APOP = 7;
    Settings.SENDSPAN = 7;
    Settings.POP3TIME = 7;
    QVERIFY(LoadSettings(app.path()));
    QCOMPARE(int(Settings.APOP), apop);
    QCOMPARE(Settings.SENDSPAN, sendspan);
    QCOMPARE(int(Settings.POP3TIME), pop3time);
}

void TestSettingsFile::numberHelpersSaturate()
{
    using namespace aMain_sMail;
    const double inf = std::numeric_limits<double>::infinity();
    QCOMPARE(ToInt64(1e300), std::numeric_limits<qint64>::max());
    QCOMPARE(ToInt64(-inf), std::numeric_limits<qint64>::min());
    QCOMPARE(ToInt64(9.2233720368547758e18), std::numeric_limits<qint64>::max());
    QCOMPARE(ToInt64(-9.2233720368547758e18), std::numeric_limits<qint64>::min());
    QCOMPARE(ToInt64(0.5), qint64(0));
    QCOMPARE(ToInt64(1.5), qint64(2));
    QCOMPARE(ToInt32(std::nan("")), qint32(0));
    QCOMPARE(ToInt16(-32768.5), qint16(-32768));
    QCOMPARE(ToInt16(-32769), qint16(-32768));
    // A number longer than a double can hold still reads as a (saturating) number.
    QCOMPARE(ParseLeadingNumber(QString(400, QLatin1Char('9'))), inf);
    QCOMPARE(ParseLeadingNumber(QLatin1Char('-') + QString(400, QLatin1Char('9'))), -inf);
    QCOMPARE(ToInt32(ParseLeadingNumber(QString(400, QLatin1Char('9')))),
             std::numeric_limits<qint32>::max());
    // The main window's interval box uses the same reading.
    QCOMPARE(ParseLeadingNumber(QStringLiteral(" 1 2.75x")), 12.75);
    QCOMPARE(ParseLeadingNumber(QStringLiteral("x12")), 0.0);
}

// The far ends of the number reading, as a settings line or the resume box may hold them.
void TestSettingsFile::leadingNumberExtremes_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("value");
    const double inf = std::numeric_limits<double>::infinity();
    const QString zeros400(400, QLatin1Char('0'));
    const QString nines400(400, QLatin1Char('9'));
    QTest::newRow("underflow") << QStringLiteral("0.") + zeros400 + QLatin1Char('1') << 0.0;
    QTest::newRow("negative underflow")
        << QStringLiteral("-0.") + zeros400 + QLatin1Char('1') << 0.0;
    QTest::newRow("underflow without a leading 0") << QLatin1Char('.') + zeros400 + "1" << 0.0;
    QTest::newRow("underflow with leading zeros")
        << zeros400 + QLatin1Char('.') + zeros400 + "7" << 0.0;
    QTest::newRow("leading zeros before a number") << zeros400 + QStringLiteral("12.5") << 12.5;
    QTest::newRow("overflow") << nines400 << inf;
    QTest::newRow("overflow with a tail of decimals") << nines400 + "." + nines400 << inf;
    QTest::newRow("negative overflow") << QLatin1Char('-') + nines400 << -inf;
    QTest::newRow("largest double") << QStringLiteral("179769313486231570") + QString(291, '0')
                                    << std::numeric_limits<double>::max();
    QTest::newRow("smallest normal, as written out")
        << QStringLiteral("0.") + QString(307, QLatin1Char('0')) + "22250738585072014"
        << std::numeric_limits<double>::min();
    QTest::newRow("many decimals") << QStringLiteral("1.") + nines400 << 2.0;
    QTest::newRow("point alone") << QStringLiteral(".") << 0.0;
    QTest::newRow("sign alone") << QStringLiteral("-") << 0.0;
    QTest::newRow("sign and point") << QStringLiteral("+.") << 0.0;
    QTest::newRow("second point ends it") << QStringLiteral("1.5.5") << 1.5;
    QTest::newRow("exponent is not read") << QStringLiteral("1e400") << 1.0;
    QTest::newRow("empty") << QString() << 0.0;
}

void TestSettingsFile::leadingNumberExtremes()
{
    QFETCH(QString, text);
    QFETCH(double, value);
    const double read = aMain_sMail::ParseLeadingNumber(text);
    QCOMPARE(read, value);
    // What the interval box and the settings lines make of it: never more than the largest
    // value for a number that is all but 0.
    if (value == 0.0)
        QCOMPARE(aMain_sMail::ToInt32(read), qint32(0));
}

void TestSettingsFile::missingFileLeavesRecord()
{
    TempAppDir app;
    Settings.SMTP = QStringLiteral("kept");
    Settings.SENDSPAN = 1234;
    const SettingsRecord before = Settings;
    QVERIFY(!LoadSettings(app.path()));
    QCOMPARE(Settings, before);

    // A folder where the file should be is no settings file either.
    QVERIFY(QDir(app.path()).mkpath(QStringLiteral("ini/kezmail.ini")));
    QVERIFY(!LoadSettings(app.path()));
    QCOMPARE(Settings, before);
}

void TestSettingsFile::partialAndEmptyFiles()
{
    {
        TempAppDir app;
        app.write(QStringLiteral("ini/kezmail.ini"),
                  "SMTP=smtp.example.jp\r\nMAIL=kez@example.jp\r\n");
        QVERIFY(LoadSettings(app.path()));
        SettingsRecord expected;
        expected.SMTP = QStringLiteral("smtp.example.jp");
        expected.MAIL = QStringLiteral("kez@example.jp");
        QCOMPARE(Settings, expected);
        QCOMPARE(CheckSettings(), qint16(0));
    }
    {
        aMain_sMail::ResetProcessState();
        TempAppDir app;
        app.write(QStringLiteral("ini/kezmail.ini"), QByteArray());
        QVERIFY(LoadSettings(app.path()));
        QCOMPARE(Settings, SettingsRecord{});
        QCOMPARE(CheckSettings(), qint16(1));
    }
}

void TestSettingsFile::lineGrammar()
{
    TempAppDir app;
    const QString longPath = QString(60, QChar(u'あ')) + QString(90, QLatin1Char('x'));
    // Mixed line ends: CR LF, CR alone, and a last line without any.
    const QString text = QStringLiteral("SMTP=first.example.jp\r\n"
                                        "smtp=lower.example.jp\r\n"
                                        " MAIL=indented@example.jp\r\n"
                                        "\r\n"
                                        "MAIL=kez@example.jp\r"
                                        "IDPAS=a=b=c  \r\n"
                                        "USERID=  user \r\n"
                                        "EDITPATH=") +
                         longPath +
                         QStringLiteral("\r\nOTHER=1\r\n"
                                        "SMTP=second.example.jp\r\n"
                                        "SENDLOGPAS=D:\\ログ\\送信.log\r\n"
                                        "ERRLOGPAS=e.log");
    const QByteArray content = cp932(text);
    app.write(QStringLiteral("ini/kezmail.ini"), content);
    QVERIFY(LoadSettings(app.path()));
    QCOMPARE(Settings.SMTP, QStringLiteral("second.example.jp"));
    QCOMPARE(Settings.MAIL, QStringLiteral("kez@example.jp"));
    QCOMPARE(Settings.IDPAS, QStringLiteral("a=b=c  "));
    QCOMPARE(Settings.USERID, QStringLiteral("  user "));
    QCOMPARE(Settings.EDITPATH, longPath.left(100));
    QCOMPARE(Settings.SENDLOGPAS, QStringLiteral("D:\\ログ\\送信.log"));
    QCOMPARE(Settings.ERRLOGPAS, QStringLiteral("e.log"));
    QVERIFY(Settings.POP3.isEmpty());
}

void TestSettingsFile::checkSettings_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("value");
    QTest::addColumn<int>("pop3time");
    QTest::addColumn<int>("sendlog");
    QTest::addColumn<int>("errlog");
    QTest::addColumn<int>("expected");

    const QString empty;
    const QString spaces = QStringLiteral("   ");
    QTest::newRow("complete") << QString() << empty << 0 << 0 << 0 << 0;
    QTest::newRow("smtp empty") << "SMTP" << empty << 0 << 0 << 0 << 1;
    QTest::newRow("smtp spaces") << "SMTP" << spaces << 0 << 0 << 0 << 1;
    // Only spaces count as nothing.
    QTest::newRow("smtp tab") << "SMTP" << QStringLiteral("\t") << 0 << 0 << 0 << 0;
    QTest::newRow("mail empty") << "MAIL" << spaces << 0 << 0 << 0 << 1;
    QTest::newRow("pop3 server not required") << "POP3" << empty << 5 << 0 << 0 << 0;
    QTest::newRow("userid, no pop") << "USERID" << empty << 0 << 0 << 0 << 0;
    QTest::newRow("userid, pop") << "USERID" << spaces << 5 << 0 << 0 << 1;
    QTest::newRow("userid, negative pop") << "USERID" << empty << -1 << 0 << 0 << 1;
    QTest::newRow("idpas, no pop") << "IDPAS" << empty << 0 << 0 << 0 << 0;
    QTest::newRow("idpas, pop") << "IDPAS" << empty << 5 << 0 << 0 << 1;
    QTest::newRow("send log off") << "SENDLOGPAS" << empty << 0 << 0 << 0 << 0;
    QTest::newRow("send log on") << "SENDLOGPAS" << spaces << 0 << 1 << 0 << 1;
    QTest::newRow("send log 2") << "SENDLOGPAS" << empty << 0 << 2 << 0 << 0;
    QTest::newRow("err log off") << "ERRLOGPAS" << empty << 0 << 0 << 0 << 0;
    QTest::newRow("err log on") << "ERRLOGPAS" << empty << 0 << 0 << 1 << 1;
}

void TestSettingsFile::checkSettings()
{
    QFETCH(QString, field);
    QFETCH(QString, value);
    QFETCH(int, pop3time);
    QFETCH(int, sendlog);
    QFETCH(int, errlog);
    QFETCH(int, expected);

    Settings = sampleRecord();
    Settings.POP3TIME = qint16(pop3time);
    Settings.SENDLOG = qint16(sendlog);
    Settings.ERRLOG = qint16(errlog);
    if (field == QLatin1String("SMTP"))
        Settings.SMTP = value;
    else if (field == QLatin1String("MAIL"))
        Settings.MAIL = value;
    else if (field == QLatin1String("POP3"))
        Settings.POP3 = value;
    else if (field == QLatin1String("USERID"))
        Settings.USERID = value;
    else if (field == QLatin1String("IDPAS"))
        Settings.IDPAS = value;
    else if (field == QLatin1String("SENDLOGPAS"))
        Settings.SENDLOGPAS = value;
    else if (field == QLatin1String("ERRLOGPAS"))
        Settings.ERRLOGPAS = value;
    const SettingsRecord before = Settings;
    QCOMPARE(int(CheckSettings()), expected);
    QCOMPARE(Settings, before);
}

void TestSettingsFile::saveWritesFourteenLinesInOrder()
{
    TempAppDir app;
    // The old file's order and extra lines do not matter.
    app.write(QStringLiteral("ini/kezmail.ini"), "POP3TIME=9\r\nJUNK=1\r\nSMTP=old\r\n");
    Settings = sampleRecord();
    aMain_sMail::SaveError error;
    QVERIFY2(SaveSettings(app.path(), &error), qPrintable(error.message));
    QCOMPARE(app.read(QStringLiteral("ini/kezmail.ini")), sampleFileBytes());
    // The record keeps the untrimmed log paths until the next start.
    QCOMPARE(Settings.SENDLOGPAS, QStringLiteral("  C:\\log\\send.log  "));
}

void TestSettingsFile::saveRoundTrips()
{
    TempAppDir app;
    Settings = sampleRecord();
    Settings.SENDLOGPAS = QStringLiteral("send.log");
    Settings.ERRLOGPAS = QStringLiteral("err.log");
    Settings.SENDSPAN = -2147483647 - 1;
    Settings.POP3TIME = 32767;
    Settings.SMTP = QStringLiteral("  smtp  ");
    const SettingsRecord saved = Settings;
    QVERIFY(SaveSettings(app.path(), nullptr));
    aMain_sMail::ResetProcessState();
    QVERIFY(LoadSettings(app.path()));
    QCOMPARE(Settings, saved);
}

void TestSettingsFile::saveCreatesFolderForOwnerOnly()
{
    TempAppDir app;
    QVERIFY(QDir(app.file(QStringLiteral("ini"))).removeRecursively());
    Settings = sampleRecord();
    QVERIFY(SaveSettings(app.path(), nullptr));
    QCOMPARE(app.read(QStringLiteral("ini/kezmail.ini")), sampleFileBytes());
#ifdef Q_OS_UNIX
    const auto ownerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
    const auto mask = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
                      QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ExeGroup |
                      QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther;
    const QString path = app.file(QStringLiteral("ini/kezmail.ini"));
    QCOMPARE(QFileInfo(path).permissions() & mask, ownerOnly);

    // An older file that others could read is replaced by one they cannot.
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                    QFileDevice::ReadGroup | QFileDevice::ReadOther);
    QVERIFY(SaveSettings(app.path(), nullptr));
    QCOMPARE(QFileInfo(path).permissions() & mask, ownerOnly);
#endif
}

void TestSettingsFile::saveRefusesValueCp932CannotHold()
{
    TempAppDir app;
    const QByteArray old = "SMTP=old.example.jp\r\nMAIL=old@example.jp\r\n";
    app.write(QStringLiteral("ini/kezmail.ini"), old);
    Settings = sampleRecord();
    Settings.SENDLOGPAS = QStringLiteral("/home/kez/caf\u00e9/send.log");
    aMain_sMail::SaveError error;
    QVERIFY(!SaveSettings(app.path(), &error));
    QCOMPARE(error.key, QStringLiteral("SENDLOGPAS"));
    QVERIFY2(error.message.contains(QStringLiteral("配信ログファイルのパス")),
             qPrintable(error.message));
    QCOMPARE(app.read(QStringLiteral("ini/kezmail.ini")), old);
    // Nothing was left behind beside the old file either.
    QCOMPARE(QDir(app.file(QStringLiteral("ini"))).entryList(QDir::Files),
             QStringList{QStringLiteral("kezmail.ini")});
}

void TestSettingsFile::saveRefusesWhatWouldChangeTheLines_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("label");  // as the settings dialog names the field
    QTest::addColumn<QString>("reason"); // empty: the save goes through

    const QString control = QStringLiteral("制御文字");
    const QString tooLong = QStringLiteral("100文字を超えています");
    QTest::newRow("password and a key") << "IDPAS"
                                        << "secret\r\nSMTP=evil.example"
                                        << "パスワード" << control;
    QTest::newRow("lone LF") << "IDPAS"
                             << "secret\nSMTP=evil.example"
                             << "パスワード" << control;
    QTest::newRow("trailing LF") << "SMTP"
                                 << "smtp.example.jp\n"
                                 << "SMTPサーバー名" << control;
    QTest::newRow("lone CR") << "MAIL"
                             << "kez@example.jp\r"
                             << "メールアドレス" << control;
    QTest::newRow("tab") << "EDITPATH"
                         << "/usr/bin/gedit\t-s"
                         << "Editer Path" << control;
    QTest::newRow("NUL") << "USERID" << QString("kez") + QChar(0) << "ユーザＩＤ" << control;
    QTest::newRow("DEL") << "POP3"
                         << "pop\x7f"
                         << "POP3サーバー名" << control;
    QTest::newRow("C1 next line") << "ERRLOGPAS"
                                  << "err\u0085.log"
                                  << "配信エラーログファイルのパス" << control;
    QTest::newRow("101 characters") << "SMTP" << QString(101, 'h') << "SMTPサーバー名" << tooLong;
    QTest::newRow("100 characters") << "SMTP" << QString(100, QChar(0x6F22)) << ""
                                    << "";
    // A log path is written trimmed, and it is the written length that counts.
    QTest::newRow("100 after trimming") << "SENDLOGPAS"
                                        << "  " + QString(100, 's') + "  "
                                        << ""
                                        << "";
    QTest::newRow("101 after trimming")
        << "SENDLOGPAS"
        << " " + QString(101, 's') << "配信ログファイルのパス" << tooLong;
}

void TestSettingsFile::saveRefusesWhatWouldChangeTheLines()
{
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(QString, label);
    QFETCH(QString, reason);

    TempAppDir app;
    const QByteArray old = "SMTP=old.example.jp\r\nMAIL=old@example.jp\r\n";
    app.write(QStringLiteral("ini/kezmail.ini"), old);
    Settings = sampleRecord();
    QString* fields[] = {&Settings.EDITPATH,   &Settings.SMTP,     &Settings.POP3,
                         &Settings.MAIL,       &Settings.USERID,   &Settings.IDPAS,
                         &Settings.SENDLOGPAS, &Settings.ERRLOGPAS};
    const char* keys[] = {"EDITPATH", "SMTP",  "POP3",       "MAIL",
                          "USERID",   "IDPAS", "SENDLOGPAS", "ERRLOGPAS"};
    for (int i = 0; i < 8; ++i) {
        if (key == QLatin1String(keys[i]))
            *fields[i] = value;
    }
    const SettingsRecord saved = Settings;
    aMain_sMail::SaveError error;
    const bool wrote = SaveSettings(app.path(), &error);

    if (reason.isEmpty()) {
        QVERIFY2(wrote, qPrintable(error.message));
        // Fourteen lines, and the value comes back whole at the next start.
        QCOMPARE(app.read(QStringLiteral("ini/kezmail.ini")).count("\r\n"), 14);
        aMain_sMail::ResetProcessState();
        QVERIFY(LoadSettings(app.path()));
        QCOMPARE(key == QLatin1String("SENDLOGPAS") ? Settings.SENDLOGPAS.size()
                                                    : Settings.SMTP.size(),
                 qsizetype(100));
        return;
    }
    QVERIFY(!wrote);
    QCOMPARE(error.key, key);
    QVERIFY2(error.message.contains(QStringLiteral("「%1」(%2)").arg(label, key)),
             qPrintable(error.message));
    QVERIFY2(error.message.contains(reason), qPrintable(error.message));
    QVERIFY2(error.message.endsWith(QStringLiteral("設定は保存されていません。")),
             qPrintable(error.message));
    QCOMPARE(app.read(QStringLiteral("ini/kezmail.ini")), old);
    QCOMPARE(Settings, saved);
}

void TestSettingsFile::failedSaveKeepsOldFile()
{
    Settings = sampleRecord();
    {
        // The ini folder is a file: nothing can be created below it.
        TempAppDir app;
        QVERIFY(QDir(app.file(QStringLiteral("ini"))).removeRecursively());
        app.write(QStringLiteral("ini"), "not a folder");
        aMain_sMail::SaveError error;
        QVERIFY(!SaveSettings(app.path(), &error));
        QVERIFY(error.key.isEmpty());
        QVERIFY2(error.message.contains(
                     QDir::toNativeSeparators(app.file(QStringLiteral("ini/kezmail.ini")))),
                 qPrintable(error.message));
        QCOMPARE(app.read(QStringLiteral("ini")), QByteArray("not a folder"));
    }
#ifdef Q_OS_UNIX
    {
        // A write that fails half-way (here: the file size limit, which binds root too) must
        // leave the old file as it was and name the system's reason.
        TempAppDir app;
        const QByteArray old = "SMTP=old.example.jp\r\nMAIL=old@example.jp\r\nSENDSPAN= 500\r\n";
        app.write(QStringLiteral("ini/kezmail.ini"), old);
        rlimit saved{};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
        const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit small = saved;
        small.rlim_cur = 16;
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
        aMain_sMail::SaveError error;
        const bool wrote = SaveSettings(app.path(), &error);
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, previousHandler);
        QVERIFY(!wrote);
        QVERIFY2(error.message.contains(app.file(QStringLiteral("ini/kezmail.ini"))),
                 qPrintable(error.message));
        // The system's reason follows the file name.
        QVERIFY2(error.message.split(QLatin1Char('\n')).size() >= 3 &&
                     !error.message.split(QLatin1Char('\n')).at(2).trimmed().isEmpty(),
                 qPrintable(error.message));
        QCOMPARE(app.read(QStringLiteral("ini/kezmail.ini")), old);
        QCOMPARE(QDir(app.file(QStringLiteral("ini"))).entryList(QDir::Files),
                 QStringList{QStringLiteral("kezmail.ini")});
    }
#endif
}

QTEST_GUILESS_MAIN(TestSettingsFile)
#include "test_settings_file.moc"
