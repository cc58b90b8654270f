#pragma once

#include "core/settings/a_main_smail.h"

#include <QString>

namespace aMain_sMail {

// The longest text value the file keeps: the reader cuts a longer one.
inline constexpr qsizetype kTextValueMaxLength = 100;

// appDir + "/ini/kezmail.ini".
QString SettingsFilePath(const QString& appDir);

// Reads the settings file into Settings. False when there is no file; the record is then
// untouched.
bool LoadSettings(const QString& appDir);

// 1 when a required setting is blank, else 0.
qint16 CheckSettings();

struct SaveError
{
    QString message; // ready to show: names the file or field and the reason
    QString key;     // the key whose value could not be written; empty for a file error
};

// Writes all fourteen lines, creating the ini folder when it is missing. The old file is
// replaced only once the new one is complete, so a failed save leaves it as it was. A value
// with a line break or another control character, one longer than the reader keeps, or one
// that code page 932 cannot hold refuses the whole save: the file never gains a line or
// loses part of a value. False on failure, with the error in *error.
bool SaveSettings(const QString& appDir, SaveError* error);

// Number reading as the settings file and the interval box do it: blanks (space, tab, line
// feed) are ignored anywhere, the longest leading decimal number with sign and point is
// taken, halves round to even. Text with no leading number gives 0.
double ParseLeadingNumber(const QString& text);
// The same number, rounded and saturated to the range of the integer type.
qint16 ToInt16(double value);
qint32 ToInt32(double value);
qint64 ToInt64(double value);

} // namespace aMain_sMail
