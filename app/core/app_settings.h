// The app's stored settings: organisation "Orvane", application "OrvaneApp". Values of the wrong
// type or out of range fall back to their default with one warning, so a hand-edited file never
// stops the app.
#ifndef ORVANE_APP_APP_SETTINGS_H
#define ORVANE_APP_APP_SETTINGS_H

#include <QSettings>
#include <QString>

inline constexpr char kModelDirectoryKey[] = "modelDirectoryPath";
inline constexpr char kModelBaseUrlKey[] = "modelBaseUrl";
inline constexpr char kLoadAtStartKey[] = "loadAtStart";
inline constexpr char kUnloadAfterIdleKey[] = "unloadAfterIdleSeconds";
inline constexpr char kKeepHistoryKey[] = "keepHistory";
inline constexpr char kHistoryLengthKey[] = "historyLength";
inline constexpr char kInputDeviceKey[] = "inputDevice";
inline constexpr char kNotificationsKey[] = "notifications";

// Defaults and bounds of the numeric settings.
inline constexpr int kDefaultUnloadAfterIdleSeconds = 900;
inline constexpr int kMaxIdleSeconds = 7 * 24 * 3600;
inline constexpr int kDefaultHistoryLength = 50;
inline constexpr int kMaxHistoryLength = 10000;

inline QSettings appSettings() { return QSettings(QStringLiteral("Orvane"), QStringLiteral("OrvaneApp")); }

// KEY as a boolean ("true"/"false", "1"/"0"); FALLBACK when unset or unreadable.
bool settingBool(const char* key, bool fallback);
// KEY as a whole number within [MIN, MAX]; FALLBACK when unset, not a number or out of range.
int settingInt(const char* key, int fallback, int min, int max);
// KEY as one string; empty when unset or not a single string (a list, say).
QString settingString(const char* key);

#endif
