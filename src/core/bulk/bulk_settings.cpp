#include "core/bulk/bulk_settings.h"

#include "core/bulk/bulk_footer.h"
#include "core/pacing/pacer.h"
#include "core/platform/owner_only_file.h"
#include "core/platform/text_files.h"
#include "core/transport/mail_address.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QSet>

namespace bulk {
namespace {

// Keys added after the first files were written are optional: such a file lacks them and
// means their defaults.
struct TextKey
{
    const char* key;
    QString BulkSettings::*field;
    const char16_t* label; // as the dialog names the box
    bool optional = false;
};

struct SwitchKey
{
    const char* key;
    bool BulkSettings::*field;
    bool optional = false;
};

struct NumberKey
{
    const char* key;
    int BulkSettings::*field;
    int min;
    int max;
    const char16_t* unit; // what the number counts, for the message
};

// In the order SaveBulkSettings writes them.
const TextKey kTextKeys[] = {
    {"UNSUBMAILTO", &BulkSettings::unsubscribeMailto, u"配信停止用メール"},
    {"UNSUBURL", &BulkSettings::unsubscribeUrl, u"配信停止用URL"},
    {"SUPPRESSPATH", &BulkSettings::suppressionPath, u"配信停止リストのパス"},
    {"DKIMDOMAIN", &BulkSettings::dkimDomain, u"署名ドメイン"},
    {"DKIMSELECTOR", &BulkSettings::dkimSelector, u"セレクター"},
    {"DKIMKEY", &BulkSettings::dkimKeyPath, u"秘密鍵ファイル"},
    {"INTAKEPOP", &BulkSettings::intakeServer, u"取り込み用POP3サーバー", true},
    {"INTAKEUSER", &BulkSettings::intakeUser, u"取り込み用ユーザーID", true},
    {"INTAKEPAS", &BulkSettings::intakePassword, u"取り込み用パスワード", true},
    {"PREFLIGHTDNS", &BulkSettings::preflightDns, u"配信前チェックのDNSサーバー", true},
};

// All optional.
const NumberKey kNumberKeys[] = {
    {"JOURNALDAYS", &BulkSettings::journalDays, 1, kMaxJournalDays, u"日数"},
    {"SOFTLIMIT", &BulkSettings::softBounceLimit, kMinSoftBounceLimit, kMaxSoftBounceLimit,
     u"回数"},
};
// The pacing rules; optional, since files written before it existed lack it.
constexpr char kPacingKey[] = "PACING";
// The footer, its line breaks escaped onto the one line; optional for the same reason.
constexpr char kFooterKey[] = "FOOTER";

const SwitchKey kSwitchKeys[] = {
    {"PRECEDENCE", &BulkSettings::precedenceBulk},
    {"AUTOSUBMITTED", &BulkSettings::autoSubmitted},
    {"ONCEPERRUN", &BulkSettings::oncePerRun},
    {"SUPPRESS", &BulkSettings::suppress},
    {"DKIM", &BulkSettings::dkim},
    {"INTAKEDELETE", &BulkSettings::intakeDelete, true},
};

} // namespace

BulkSettings DialogDefaults()
{
    BulkSettings s;
    s.precedenceBulk = true;
    s.autoSubmitted = true;
    return s;
}

QString BulkFilePath(const QString& appDir)
{
    return appDir + QStringLiteral("/ini/bulk.ini");
}

QString UnreadableMessage(const QString& appDir, const QString& reason)
{
    return QStringLiteral("配信オプションのファイルを読み込めませんでした。\n%1\n%2\n"
                          "メニューの「設定」→「配信オプション」で内容を確かめて下さい。")
        .arg(QDir::toNativeSeparators(BulkFilePath(appDir)), reason);
}

namespace {

// Larger than any file the program writes by far; a bigger one is not its file.
constexpr qint64 kMaxFileSize = 1 << 20;
// The message shows this many of the problems; the dialog's note counts the rest.
constexpr qsizetype kShownProblems = 5;

// Reads the lines of the file into result; every line that fails adds a problem, and the
// lines that can be read still give their values (the dialog shows them).
void parseLines(QByteArray bytes, LoadedBulkSettings& result)
{
    auto problem = [&result](const QString& text) { result.problems << text; };
    if (bytes.startsWith("\xEF\xBB\xBF"))
        bytes.remove(0, 3);
    if (bytes.isEmpty()) {
        problem(QStringLiteral("ファイルが空です。"));
        return;
    }
    BulkSettings& s = result.settings;
    QList<QByteArray> lines = bytes.split('\n');
    // Every line ends with its line feed, so the last piece is empty; anything else is a
    // line cut short, whose value may be cut as well.
    const QByteArray unfinished = lines.takeLast();
    QSet<QString> seen;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const int number = int(i) + 1;
        QByteArray line = lines.at(i);
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.isEmpty())
            continue;
        if (!platform::isValidUtf8(line)) {
            problem(QStringLiteral("%1行目が UTF-8 のテキストではありません。").arg(number));
            continue;
        }
        const QString text = QString::fromUtf8(line);
        const qsizetype eq = text.indexOf(QLatin1Char('='));
        if (eq <= 0) {
            problem(QStringLiteral("%1行目が「キー=値」の形ではありません。").arg(number));
            continue;
        }
        const QString key = text.left(eq);
        const QString value = text.mid(eq + 1);
        const TextKey* textKey = nullptr;
        for (const TextKey& k : kTextKeys)
            if (key == QLatin1String(k.key))
                textKey = &k;
        const SwitchKey* switchKey = nullptr;
        for (const SwitchKey& k : kSwitchKeys)
            if (key == QLatin1String(k.key))
                switchKey = &k;
        const NumberKey* numberKey = nullptr;
        for (const NumberKey& k : kNumberKeys)
            if (key == QLatin1String(k.key))
                numberKey = &k;
        const bool pacingKey = key == QLatin1String(kPacingKey);
        const bool footerKey = key == QLatin1String(kFooterKey);
        if (!textKey && !switchKey && !numberKey && !pacingKey && !footerKey) {
            problem(QStringLiteral("%1行目の「%2」は配信オプションのキーではありません。")
                        .arg(number)
                        .arg(key));
            continue;
        }
        if (seen.contains(key)) {
            problem(QStringLiteral("%1行目: 「%2」が２度書かれています。").arg(number).arg(key));
            continue;
        }
        seen.insert(key);
        if (transport::hasControlCharacter(value)) {
            problem(QStringLiteral("%1行目: 「%2」の値に制御文字が含まれています。")
                        .arg(number)
                        .arg(key));
            continue;
        }
        if (textKey) {
            // A mistyped server would make every check a time-out, which only warns.
            if (textKey->field == &BulkSettings::preflightDns && !value.isEmpty() &&
                QHostAddress(value).isNull()) {
                problem(QStringLiteral("%1行目: 「%2」の値がIPアドレスではありません（「%3」と"
                                       "書かれています）。")
                            .arg(number)
                            .arg(key, value));
                continue;
            }
            s.*textKey->field = value;
            continue;
        }
        if (numberKey) {
            bool ok = false;
            const int n = value.trimmed().toInt(&ok);
            if (!ok || n < numberKey->min || n > numberKey->max) {
                problem(QStringLiteral("%1行目: 「%2」の値は %3 から %4 までの%5です（「%6」と"
                                       "書かれています）。")
                            .arg(number)
                            .arg(key)
                            .arg(numberKey->min)
                            .arg(numberKey->max)
                            .arg(QString::fromUtf16(numberKey->unit), value));
                continue;
            }
            s.*numberKey->field = n;
            continue;
        }
        if (pacingKey) {
            QString why;
            const std::optional<QList<pacing::PaceRule>> rules = pacing::parseRules(value, &why);
            if (!rules) {
                problem(QStringLiteral("%1行目: 「%2」の%3").arg(number).arg(key, why));
                continue;
            }
            s.paceRules = *rules;
            continue;
        }
        if (footerKey) {
            const std::optional<QString> footer = UnescapeFooter(value);
            if (!footer) {
                problem(QStringLiteral("%1行目: 「%2」の値の「\\」のあとは n、r、t、\\ の"
                                       "どれかです（書き換えられているか、壊れています）。")
                            .arg(number)
                            .arg(key));
                continue;
            }
            s.footer = *footer;
            continue;
        }
        const QString number01 = value.trimmed();
        if (number01 != u"0" && number01 != u"1") {
            problem(QStringLiteral("%1行目: 「%2」の値は 0 か 1 です（「%3」と書かれています）。")
                        .arg(number)
                        .arg(key, value));
            continue;
        }
        s.*switchKey->field = number01 == u"1";
    }
    if (!unfinished.isEmpty())
        problem(QStringLiteral("%1行目が改行で終わっていません（ファイルが途中で切れています）。")
                    .arg(lines.size() + 1));

    QStringList missing;
    for (const TextKey& k : kTextKeys)
        if (!k.optional && !seen.contains(QLatin1String(k.key)))
            missing << QLatin1String(k.key);
    for (const SwitchKey& k : kSwitchKeys)
        if (!k.optional && !seen.contains(QLatin1String(k.key)))
            missing << QLatin1String(k.key);
    // Said only when every line was read: a line that failed may have held the key, and its
    // own problem says more.
    if (!missing.isEmpty() && result.problems.isEmpty())
        problem(QStringLiteral("%1 の行がありません（ファイルが途中で切れているか、書き換えられて"
                               "います）。")
                    .arg(missing.join(QStringLiteral("、"))));
}

} // namespace

LoadedBulkSettings LoadBulkSettings(const QString& appDir)
{
    LoadedBulkSettings result;
    const QString path = BulkFilePath(appDir);
    const QFileInfo info(path);
    // A link whose target is gone still says the operator meant to have options.
    if (!info.exists() && !info.isSymLink())
        return result;
    result.state = BulkFileState::Unreadable;
    result.settings = DialogDefaults();
    auto finish = [&result]() {
        QStringList shown = result.problems.mid(0, kShownProblems);
        if (result.problems.size() > kShownProblems)
            shown << QStringLiteral("（ほかに%1件）").arg(result.problems.size() - kShownProblems);
        result.reason = shown.join(QLatin1Char('\n'));
        if (result.problems.isEmpty())
            result.state = BulkFileState::Loaded;
        return result;
    };
    // A folder, a FIFO or a device: opening one could hang or never end.
    if (info.exists() && !info.isFile()) {
        result.problems << QStringLiteral("ファイルではありません。");
        return finish();
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        result.problems << file.errorString();
        return finish();
    }
    if (file.size() > kMaxFileSize) {
        result.problems << QStringLiteral("ファイルが大きすぎます（%1バイト）。").arg(file.size());
        return finish();
    }
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        result.problems << file.errorString();
        return finish();
    }
    parseLines(bytes, result);
    return finish();
}

bool SaveBulkSettings(const QString& appDir, const BulkSettings& settings, BulkSaveError* error)
{
    auto fail = [error](BulkSaveError reason) {
        if (error)
            *error = std::move(reason);
        return false;
    };
    QByteArray content;
    for (const TextKey& k : kTextKeys) {
        const QString& value = settings.*k.field;
        if (transport::hasControlCharacter(value)) {
            return fail(
                BulkSaveError{QStringLiteral("「%1」に改行などの制御文字が含まれています。\n"
                                             "配信オプションは保存されていません。")
                                  .arg(QString::fromUtf16(k.label)),
                              QString::fromLatin1(k.key)});
        }
        content += QByteArray(k.key) + '=' + value.toUtf8() + "\r\n";
    }
    for (const SwitchKey& k : kSwitchKeys)
        content += QByteArray(k.key) + (settings.*k.field ? "=1\r\n" : "=0\r\n");
    for (const NumberKey& k : kNumberKeys)
        content += QByteArray(k.key) + '=' + QByteArray::number(settings.*k.field) + "\r\n";
    // Only rules that read back are written: a file the next run refuses would stop it.
    QString why;
    const qsizetype bad = pacing::findBadRule(settings.paceRules, &why);
    if (bad >= 0) {
        return fail(BulkSaveError{QStringLiteral("送信ペースの%1行目: %2\n"
                                                 "配信オプションは保存されていません。")
                                      .arg(bad + 1)
                                      .arg(why),
                                  QString::fromLatin1(kPacingKey)});
    }
    content +=
        QByteArray(kPacingKey) + '=' + pacing::formatRules(settings.paceRules).toUtf8() + "\r\n";
    // Escaped, it holds no line break; a stray control character the escape does not carry
    // would stop every run that reads the file.
    const QString footer = EscapeFooter(settings.footer);
    if (transport::hasControlCharacter(footer)) {
        return fail(BulkSaveError{QStringLiteral("「表示事項（フッター）」に改行とタブのほかの"
                                                 "制御文字が含まれています。\n"
                                                 "配信オプションは保存されていません。"),
                                  QString::fromLatin1(kFooterKey)});
    }
    content += QByteArray(kFooterKey) + '=' + footer.toUtf8() + "\r\n";

    const QString path = BulkFilePath(appDir);
    QString reason;
    if (!platform::replaceOwnerOnlyFile(path, content, &reason)) {
        return fail(BulkSaveError{QStringLiteral("配信オプションを保存できませんでした。\n%1\n%2")
                                      .arg(QDir::toNativeSeparators(path), reason),
                                  QString()});
    }
    return true;
}

} // namespace bulk
