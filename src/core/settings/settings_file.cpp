#include "core/settings/settings_file.h"

#include "core/text/trim.h"

#include "core/platform/owner_only_file.h"
#include "core/platform/text_files.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cmath>
#include <limits>

namespace aMain_sMail {
namespace {

constexpr qsizetype kMaxTextValue = kTextValueMaxLength;

enum class Kind { Text, Int16, Int32 };

struct KeyBinding
{
    const char* key; // with its "="
    Kind kind;
    QString SettingsRecord::*text;
    qint16 SettingsRecord::*int16;
    qint32 SettingsRecord::*int32;
};

constexpr KeyBinding textKey(const char* key, QString SettingsRecord::*field)
{
    return {key, Kind::Text, field, nullptr, nullptr};
}
constexpr KeyBinding int16Key(const char* key, qint16 SettingsRecord::*field)
{
    return {key, Kind::Int16, nullptr, field, nullptr};
}

// The order of the lines that SaveSettings writes; LoadSettings accepts them in any order.
const KeyBinding kKeys[] = {
    textKey("EDITPATH=", &SettingsRecord::EDITPATH),
    textKey("SMTP=", &SettingsRecord::SMTP),
    textKey("POP3=", &SettingsRecord::POP3),
    textKey("MAIL=", &SettingsRecord::MAIL),
    textKey("USERID=", &SettingsRecord::USERID),
    textKey("IDPAS=", &SettingsRecord::IDPAS),
    int16Key("APOP=", &SettingsRecord::APOP),
    int16Key("SENDLOG=", &SettingsRecord::SENDLOG),
    textKey("SENDLOGPAS=", &SettingsRecord::SENDLOGPAS),
    int16Key("ERRLOG=", &SettingsRecord::ERRLOG),
    int16Key("ERRLOGMSG=", &SettingsRecord::ERRLOGMSG),
    textKey("ERRLOGPAS=", &SettingsRecord::ERRLOGPAS),
    {"SENDSPAN=", Kind::Int32, nullptr, nullptr, &SettingsRecord::SENDSPAN},
    int16Key("POP3TIME=", &SettingsRecord::POP3TIME),
};

// How the settings dialog labels each field, so that a refusal tells the operator where to
// look.
QString fieldLabel(const char* key)
{
    const QString k = QString::fromLatin1(key).chopped(1);
    if (k == QLatin1String("EDITPATH"))
        return QStringLiteral("Editer Path");
    if (k == QLatin1String("SMTP"))
        return QStringLiteral("SMTPサーバー名");
    if (k == QLatin1String("POP3"))
        return QStringLiteral("POP3サーバー名");
    if (k == QLatin1String("MAIL"))
        return QStringLiteral("メールアドレス");
    if (k == QLatin1String("USERID"))
        return QStringLiteral("ユーザＩＤ");
    if (k == QLatin1String("IDPAS"))
        return QStringLiteral("パスワード");
    if (k == QLatin1String("SENDLOGPAS"))
        return QStringLiteral("配信ログファイルのパス");
    if (k == QLatin1String("ERRLOGPAS"))
        return QStringLiteral("配信エラーログファイルのパス");
    return k;
}

QString numberText(qint64 value)
{
    // A space stands where a negative number has its minus sign.
    return value < 0 ? QString::number(value) : QLatin1Char(' ') + QString::number(value);
}

double roundHalfEven(double value)
{
    const double down = std::floor(value);
    const double diff = value - down;
    if (diff < 0.5)
        return down;
    if (diff > 0.5)
        return down + 1.0;
    return std::fmod(down, 2.0) == 0.0 ? down : down + 1.0;
}

template <typename Int> Int saturate(double value)
{
    if (std::isnan(value))
        return 0;
    const double rounded = roundHalfEven(value);
    // Compared as doubles: the limits of a 64-bit type are 2^63 and -2^63 exactly there.
    constexpr double lowest = static_cast<double>(std::numeric_limits<Int>::min());
    constexpr double highest = -lowest - 1.0;
    if (rounded <= lowest)
        return std::numeric_limits<Int>::min();
    if (rounded >= highest)
        return std::numeric_limits<Int>::max();
    return static_cast<Int>(rounded);
}

} // namespace

QString SettingsFilePath(const QString& appDir)
{
    return appDir + QStringLiteral("/ini/kezmail.ini");
}

double ParseLeadingNumber(const QString& text)
{
    QString number;
    bool digits = false;
    bool point = false;
    bool signAllowed = true;
    for (const QChar c : text) {
        if (c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QLatin1Char('\n'))
            continue;
        if (signAllowed && (c == QLatin1Char('-') || c == QLatin1Char('+'))) {
            number += c;
            signAllowed = false;
            continue;
        }
        signAllowed = false;
        if (c >= QLatin1Char('0') && c <= QLatin1Char('9')) {
            number += c;
            digits = true;
        } else if (c == QLatin1Char('.') && !point) {
            number += c;
            point = true;
        } else {
            break;
        }
    }
    if (!digits)
        return 0;
    bool ok = false;
    const double value = number.toDouble(&ok);
    if (ok)
        return value;
    // The text is a well-formed decimal number, so only its size can fail: too large when a
    // digit before the point is not 0, else too small to tell from 0.
    const qsizetype dot = number.indexOf(QLatin1Char('.'));
    const QStringView whole = QStringView(number).left(dot < 0 ? number.size() : dot);
    const bool large = std::any_of(whole.begin(), whole.end(), [](QChar c) {
        return c >= QLatin1Char('1') && c <= QLatin1Char('9');
    });
    if (!large)
        return 0.0;
    return number.startsWith(QLatin1Char('-')) ? -std::numeric_limits<double>::infinity()
                                               : std::numeric_limits<double>::infinity();
}

qint16 ToInt16(double value)
{
    return saturate<qint16>(value);
}

qint32 ToInt32(double value)
{
    return saturate<qint32>(value);
}

qint64 ToInt64(double value)
{
    return saturate<qint64>(value);
}

bool LoadSettings(const QString& appDir)
{
    const QString path = SettingsFilePath(appDir);
    if (!QFileInfo(path).isFile())
        return false;
    QFile file(path);
    // A file that exists but cannot be read counts as present and empty: the settings dialog
    // then opens, since the required values stay blank.
    if (!file.open(QIODevice::ReadOnly))
        return true;
    // The program writes CR LF, but a file mended with a Linux editor has LF alone.
    platform::CrLineReader reader(&file, platform::TextEncoding::Cp932, platform::LineEnds::Any);
    SettingsRecord& record = Settings;
    while (std::optional<QString> line = reader.readLine()) {
        for (const KeyBinding& binding : kKeys) {
            const QLatin1String key(binding.key);
            if (!line->startsWith(key))
                continue;
            const QString value = line->mid(key.size()).left(kMaxTextValue);
            switch (binding.kind) {
            case Kind::Text: record.*binding.text = value; break;
            case Kind::Int16: record.*binding.int16 = ToInt16(ParseLeadingNumber(value)); break;
            case Kind::Int32: record.*binding.int32 = ToInt32(ParseLeadingNumber(value)); break;
            }
            break;
        }
    }
    return true;
}

qint16 CheckSettings()
{
    const SettingsRecord& s = Settings;
    qint16 result = 0;
    if (compose::IsEmptyAfterTrimSpaces(s.SMTP))
        result = 1;
    if (compose::IsEmptyAfterTrimSpaces(s.MAIL))
        result = 1;
    if (s.POP3TIME != 0 && compose::IsEmptyAfterTrimSpaces(s.USERID))
        result = 1;
    if (s.POP3TIME != 0 && compose::IsEmptyAfterTrimSpaces(s.IDPAS))
        result = 1;
    if (s.SENDLOG == 1 && compose::IsEmptyAfterTrimSpaces(s.SENDLOGPAS))
        result = 1;
    if (s.ERRLOG == 1 && compose::IsEmptyAfterTrimSpaces(s.ERRLOGPAS))
        result = 1;
    return result;
}

bool SaveSettings(const QString& appDir, SaveError* error)
{
    const SettingsRecord& s = Settings;
    const QString path = SettingsFilePath(appDir);
    auto fail = [error](SaveError reason) {
        if (error)
            *error = std::move(reason);
        return false;
    };

    // Everything is encoded before the file is touched: a value that code page 932 cannot
    // hold would otherwise be written as "?", and the file must never hold a damaged value.
    QByteArray content;
    for (const KeyBinding& binding : kKeys) {
        QString value;
        switch (binding.kind) {
        case Kind::Text:
            value = s.*binding.text;
            if (binding.text == &SettingsRecord::SENDLOGPAS ||
                binding.text == &SettingsRecord::ERRLOGPAS)
                value = compose::TrimSpaces(value);
            break;
        case Kind::Int16: value = numberText(s.*binding.int16); break;
        case Kind::Int32: value = numberText(s.*binding.int32); break;
        }
        const QString key = QString::fromLatin1(binding.key).chopped(1);
        auto refusal = [&](const QString& reason) {
            return fail(SaveError{QStringLiteral("「%1」(%2) %3\n設定は保存されていません。")
                                      .arg(fieldLabel(binding.key), key, reason),
                                  key});
        };
        // A line break would end the line early and start one of its own, which the reader
        // would take as a setting: the last occurrence of a key wins.
        if (std::any_of(value.cbegin(), value.cend(),
                        [](QChar c) { return c.category() == QChar::Other_Control; }))
            return refusal(QStringLiteral("に、改行やタブなどの制御文字があります。"));
        if (value.size() > kMaxTextValue)
            return refusal(QStringLiteral("が%1文字を超えています。").arg(kMaxTextValue));
        const std::optional<QByteArray> bytes =
            platform::encodeCp932(QLatin1String(binding.key) + value);
        if (!bytes) {
            return refusal(QStringLiteral(
                "に、設定ファイルの文字コード (Shift_JIS) で書けない文字があります。"));
        }
        content += *bytes;
        content += "\r\n";
    }

    // The file holds the POP3 password in plain text: readable by its owner only.
    QString reason;
    if (!platform::replaceOwnerOnlyFile(path, content, &reason))
        return fail(SaveError{QStringLiteral("設定ファイルを保存できませんでした。\n%1\n%2")
                                  .arg(QDir::toNativeSeparators(path), reason),
                              QString()});
    return true;
}

} // namespace aMain_sMail
