#include "core/bulk/bulk_settings.h"

#include "core/platform/owner_only_file.h"
#include "core/platform/text_files.h"
#include "core/transport/mail_address.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

namespace bulk {
namespace {

struct TextKey
{
    const char* key;
    QString BulkSettings::*field;
    const char16_t* label; // as the dialog names the box
};

struct SwitchKey
{
    const char* key;
    bool BulkSettings::*field;
};

// In the order SaveBulkSettings writes them.
const TextKey kTextKeys[] = {
    {"UNSUBMAILTO", &BulkSettings::unsubscribeMailto, u"配信停止用メール"},
    {"UNSUBURL", &BulkSettings::unsubscribeUrl, u"配信停止用URL"},
    {"SUPPRESSPATH", &BulkSettings::suppressionPath, u"配信停止リストのパス"},
    {"DKIMDOMAIN", &BulkSettings::dkimDomain, u"署名ドメイン"},
    {"DKIMSELECTOR", &BulkSettings::dkimSelector, u"セレクター"},
    {"DKIMKEY", &BulkSettings::dkimKeyPath, u"秘密鍵ファイル"},
};

const SwitchKey kSwitchKeys[] = {
    {"PRECEDENCE", &BulkSettings::precedenceBulk},
    {"AUTOSUBMITTED", &BulkSettings::autoSubmitted},
    {"ONCEPERRUN", &BulkSettings::oncePerRun},
    {"SUPPRESS", &BulkSettings::suppress},
    {"DKIM", &BulkSettings::dkim},
};

} // namespace

BulkSettings DefaultsOfExistingFile()
{
    BulkSettings s;
    s.precedenceBulk = true;
    s.autoSubmitted = true;
    s.oncePerRun = true;
    return s;
}

QString BulkFilePath(const QString& appDir)
{
    return appDir + QStringLiteral("/ini/bulk.ini");
}

QString UnreadableMessage(const QString& appDir, const QString& reason)
{
    return QStringLiteral("配信オプションのファイルを読み込めませんでした。\n%1\n%2")
        .arg(QDir::toNativeSeparators(BulkFilePath(appDir)), reason);
}

LoadedBulkSettings LoadBulkSettings(const QString& appDir)
{
    LoadedBulkSettings result;
    const QString path = BulkFilePath(appDir);
    if (!QFileInfo::exists(path))
        return result;
    auto unreadable = [&result](const QString& reason) {
        result.state = BulkFileState::Unreadable;
        result.reason = reason;
        return result;
    };
    if (!QFileInfo(path).isFile())
        return unreadable(QStringLiteral("ファイルではありません。"));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return unreadable(file.errorString());
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return unreadable(file.errorString());
    if (!platform::isValidUtf8(bytes))
        return unreadable(QStringLiteral("UTF-8 のテキストではありません。"));

    QString text = QString::fromUtf8(bytes);
    if (text.startsWith(QChar(0xFEFF)))
        text.remove(0, 1);
    BulkSettings& s = result.settings;
    s = DefaultsOfExistingFile();
    static const QRegularExpression lineEnd(QStringLiteral("\r\n|\r|\n"));
    for (const QString& line : text.split(lineEnd)) {
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (eq <= 0)
            continue;
        const QString key = line.left(eq);
        const QString value = line.mid(eq + 1);
        for (const TextKey& k : kTextKeys) {
            if (key == QLatin1String(k.key))
                s.*k.field = value;
        }
        // A switch is 1 or 0; anything else keeps what a file without the key means.
        const QString number = value.trimmed();
        for (const SwitchKey& k : kSwitchKeys) {
            if (key == QLatin1String(k.key) && (number == u"0" || number == u"1"))
                s.*k.field = number == u"1";
        }
    }
    result.state = BulkFileState::Loaded;
    return result;
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
