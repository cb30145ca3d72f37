#include "model_directory.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#include "app_settings.h"

const QStringList& requiredModelFiles() {
  static const QStringList files = {QStringLiteral("consolidated.safetensors"),
                                    QStringLiteral("params.json"), QStringLiteral("tekken.json")};
  return files;
}

QString defaultModelDirectory() {
  return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
         QStringLiteral("/OrvaneApp/orvane-model");
}

QString configuredModelDirectory() {
  const QString stored = appSettings().value(kModelDirectoryKey).toString();
  return stored.isEmpty() ? defaultModelDirectory() : stored;
}

void removePartialDownloads(const QString& dir) {
  QDir d(dir);
  for (const QString& name : d.entryList({QStringLiteral("*.part")}, QDir::Files | QDir::Hidden))
    d.remove(name);
}

QString firstMissingModelFile(const QString& dir) {
  for (const QString& name : requiredModelFiles())
    if (!QFileInfo::exists(QDir(dir).filePath(name))) return name;
  return {};
}

QString checkModelStatus(const QString& path) {
  if (path.isEmpty()) return {};
  QStringList missing;
  for (const char* name : {"consolidated.safetensors", "tekken.json"})
    if (!QFileInfo::exists(QDir(path).filePath(QString::fromLatin1(name))))
      missing << QString::fromLatin1(name);
  return missing.isEmpty() ? QStringLiteral("Found model files")
                           : QStringLiteral("Missing: ") + missing.join(QStringLiteral(", "));
}

QString modelBaseUrl() {
  const QString stored = settingString(kModelBaseUrlKey);
  return stored.isEmpty() ? defaultModelBaseUrl() : stored;
}

QString defaultModelBaseUrl() {
  const QString env = qEnvironmentVariable("ORVANE_MODEL_URL");
  if (!env.isEmpty()) return env;
  return QStringLiteral(ORVANE_MODEL_URL);
}
