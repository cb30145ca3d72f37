#include "preferences.h"

#include <QAudioDevice>
#include <QMediaDevices>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

#include "core/app_settings.h"
#include "core/model_directory.h"

namespace {
constexpr int kInputsCheckMs = 2000;

QStringList inputIds() {
  QStringList ids;
  for (const QAudioDevice& d : QMediaDevices::audioInputs()) ids << QString::fromUtf8(d.id());
  return ids;
}
}  // namespace

Preferences::Preferences(QObject* parent) : QObject(parent), input_ids_(inputIds()) {
  inputs_timer_.setInterval(kInputsCheckMs);
  connect(&inputs_timer_, &QTimer::timeout, this, &Preferences::checkInputs);
  inputs_timer_.start();
}

void Preferences::checkInputs() {
  QStringList ids = inputIds();
  if (ids == input_ids_) return;
  input_ids_ = std::move(ids);
  emit inputDevicesChanged();
}

void Preferences::store(const char* key, const QVariant& value) {
  appSettings().setValue(QLatin1String(key), value);
  emit changed();
}

bool Preferences::keepHistory() const { return settingBool(kKeepHistoryKey, true); }
void Preferences::setKeepHistory(bool on) { store(kKeepHistoryKey, on); }
bool Preferences::notifications() const { return settingBool(kNotificationsKey, true); }
void Preferences::setNotifications(bool on) { store(kNotificationsKey, on); }
bool Preferences::loadAtStart() const { return settingBool(kLoadAtStartKey, true); }
void Preferences::setLoadAtStart(bool on) { store(kLoadAtStartKey, on); }
QString Preferences::inputDevice() const { return settingString(kInputDeviceKey); }
void Preferences::setInputDevice(const QString& id) { store(kInputDeviceKey, id); }
QString Preferences::modelBaseUrl() const { return settingString(kModelBaseUrlKey); }
void Preferences::setModelBaseUrl(const QString& url) { store(kModelBaseUrlKey, url.trimmed()); }
int Preferences::unloadAfterIdleSeconds() const {
  return settingInt(kUnloadAfterIdleKey, kDefaultUnloadAfterIdleSeconds, 0, kMaxIdleSeconds);
}
void Preferences::setUnloadAfterIdleSeconds(int seconds) { store(kUnloadAfterIdleKey, seconds); }
int Preferences::historyLength() const {
  return settingInt(kHistoryLengthKey, kDefaultHistoryLength, 1, kMaxHistoryLength);
}
void Preferences::setHistoryLength(int length) { store(kHistoryLengthKey, length); }
QString Preferences::defaultModelBaseUrl() const { return ::defaultModelBaseUrl(); }

QVariantList Preferences::inputDevices() const {
  QVariantList list{QVariantMap{{QStringLiteral("id"), QString()},
                                {QStringLiteral("name"), QStringLiteral("System default")}}};
  for (const QAudioDevice& d : QMediaDevices::audioInputs())
    list.append(QVariantMap{{QStringLiteral("id"), QString::fromUtf8(d.id())},
                            {QStringLiteral("name"), d.description()}});
  return list;
}

QString Preferences::autostartPath() {
  return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
         QStringLiteral("/autostart/orvane-app.desktop");
}

bool Preferences::autostart() const { return QFileInfo::exists(autostartPath()); }

void Preferences::setAutostart(bool on) {
  const QString path = autostartPath();
  if (!on) {
    QFile::remove(path);
    return emit changed();
  }
  QDir().mkpath(QFileInfo(path).path());
  QSaveFile file(path);
  const QString exec = QCoreApplication::applicationFilePath();
  if (file.open(QIODevice::WriteOnly)) {
    file.write(QStringLiteral("[Desktop Entry]\nType=Application\nName=Orvane\n"
                              "Comment=On-device dictation\nExec=\"%1\"\nIcon=orvane-app\n"
                              "Terminal=false\nX-GNOME-Autostart-enabled=true\n")
                   .arg(exec)
                   .toUtf8());
    if (!file.commit()) qWarning("orvane-app: cannot write %s", qPrintable(path));
  }
  emit changed();
}
