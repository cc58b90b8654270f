// PLACEHOLDER: to be written by the settings-file work.
#include "shell/settings_file.h"

namespace aMain_sMail {
QString SettingsFilePath(const QString& appDir) { return appDir + QStringLiteral("/ini/kezmail.ini"); }
bool LoadSettings(const QString&) { return false; }
qint16 CheckSettings() { return 1; }
std::optional<SaveError> SaveSettings(const QString&) { return SaveError{}; }
double ParseLeadingNumber(const QString&) { return 0; }
qint16 ToInt16(double) { return 0; }
qint32 ToInt32(double) { return 0; }
qint64 ToInt64(double) { return 0; }
} // namespace aMain_sMail
