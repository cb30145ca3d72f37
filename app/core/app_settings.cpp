#include "app_settings.h"

#include <QtGlobal>

namespace {

void warnFallback(const char* key, const QVariant& value, const QString& fallback) {
  qWarning("orvane-app: setting %s=%s is not valid, using %s", key,
           qPrintable(value.toStringList().join(u',')), qPrintable(fallback));
}

}  // namespace

bool settingBool(const char* key, bool fallback) {
  const QVariant v = appSettings().value(QLatin1String(key));
  if (!v.isValid()) return fallback;
  if (v.typeId() == QMetaType::Bool) return v.toBool();
  const QString s = v.toString().trimmed().toLower();
  if (v.typeId() == QMetaType::QString || v.typeId() == QMetaType::Int) {
    if (s == u"true" || s == u"1") return true;
    if (s == u"false" || s == u"0") return false;
  }
  warnFallback(key, v, fallback ? QStringLiteral("true") : QStringLiteral("false"));
  return fallback;
}

int settingInt(const char* key, int fallback, int min, int max) {
  const QVariant v = appSettings().value(QLatin1String(key));
  if (!v.isValid()) return fallback;
  bool ok = v.typeId() == QMetaType::QString || v.typeId() == QMetaType::Int ||
            v.typeId() == QMetaType::LongLong;
  const qlonglong n = ok ? v.toString().trimmed().toLongLong(&ok) : 0;
  if (ok && n >= min && n <= max) return static_cast<int>(n);
  warnFallback(key, v, QString::number(fallback));
  return fallback;
}

QString settingString(const char* key) {
  const QVariant v = appSettings().value(QLatin1String(key));
  if (!v.isValid()) return {};
  if (v.typeId() == QMetaType::QString) return v.toString();
  warnFallback(key, v, QStringLiteral("the default"));
  return {};
}
