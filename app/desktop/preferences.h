// The settings window's view of the stored settings, for QML: each property reads and writes
// its key in OrvaneApp.conf, plus the microphones to choose from and the autostart entry.
#ifndef ORVANE_APP_PREFERENCES_H
#define ORVANE_APP_PREFERENCES_H

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QVariantList>

class Preferences : public QObject {
  Q_OBJECT
  Q_PROPERTY(bool keepHistory READ keepHistory WRITE setKeepHistory NOTIFY changed)
  Q_PROPERTY(bool notifications READ notifications WRITE setNotifications NOTIFY changed)
  Q_PROPERTY(bool loadAtStart READ loadAtStart WRITE setLoadAtStart NOTIFY changed)
  Q_PROPERTY(QString inputDevice READ inputDevice WRITE setInputDevice NOTIFY changed)
  Q_PROPERTY(QString modelBaseUrl READ modelBaseUrl WRITE setModelBaseUrl NOTIFY changed)
  Q_PROPERTY(QString defaultModelBaseUrl READ defaultModelBaseUrl CONSTANT)
  Q_PROPERTY(bool autostart READ autostart WRITE setAutostart NOTIFY changed)
  Q_PROPERTY(int unloadAfterIdleSeconds READ unloadAfterIdleSeconds
                 WRITE setUnloadAfterIdleSeconds NOTIFY changed)
  Q_PROPERTY(int historyLength READ historyLength WRITE setHistoryLength NOTIFY changed)
  // [{id, name}] of the inputs, the system default first (id "").
  Q_PROPERTY(QVariantList inputDevices READ inputDevices NOTIFY inputDevicesChanged)

 public:
  explicit Preferences(QObject* parent = nullptr);

  bool keepHistory() const;
  void setKeepHistory(bool on);
  bool notifications() const;
  void setNotifications(bool on);
  bool loadAtStart() const;
  void setLoadAtStart(bool on);
  QString inputDevice() const;
  void setInputDevice(const QString& id);
  QString modelBaseUrl() const;
  void setModelBaseUrl(const QString& url);
  QString defaultModelBaseUrl() const;
  QVariantList inputDevices() const;
  int unloadAfterIdleSeconds() const;
  void setUnloadAfterIdleSeconds(int seconds);
  int historyLength() const;
  void setHistoryLength(int length);

  // ~/.config/autostart/orvane-app.desktop (under XDG_CONFIG_HOME).
  static QString autostartPath();
  bool autostart() const;
  void setAutostart(bool on);

 signals:
  void changed();
  void inputDevicesChanged();

 private:
  void store(const char* key, const QVariant& value);
  void checkInputs();

  // Qt's device-change signal does not come for every source the sound server adds or
  // removes, so the list is compared now and then.
  QTimer inputs_timer_;
  QStringList input_ids_;
};

#endif
