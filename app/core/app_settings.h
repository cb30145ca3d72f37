// The app's stored settings: organisation "Orvane", application "OrvaneApp".
#ifndef ORVANE_APP_APP_SETTINGS_H
#define ORVANE_APP_APP_SETTINGS_H

#include <QSettings>

inline constexpr char kModelDirectoryKey[] = "modelDirectoryPath";
inline constexpr char kModelBaseUrlKey[] = "modelBaseUrl";

inline QSettings appSettings() { return QSettings(QStringLiteral("Orvane"), QStringLiteral("OrvaneApp")); }

#endif
