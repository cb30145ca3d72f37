#ifndef ORVANE_APP_VIEWS_H
#define ORVANE_APP_VIEWS_H

#include <QObject>
#include <QPointer>
#include <QQmlApplicationEngine>
#include <QQuickWindow>
#include <QSystemTrayIcon>
#include <memory>

#include "model_folder.h"
#include "preferences.h"

class QMenu;

// The tray icon, which follows the app state's status icon, the panel it opens and the settings
// window. Where the desktop has no tray the panel is an ordinary window.
class Views : public QObject {
  Q_OBJECT
 public:
  // The objects must outlive the views. hot_key, clipboard and typing carry the notices the panel
  // shows when the shortcut, the clipboard or typing does not work; typing also holds the output
  // mode the settings change; history holds the earlier transcripts.
  Views(QObject* app_state, QObject* hot_key, QObject* clipboard, QObject* typing = nullptr,
        QObject* history = nullptr, QObject* parent = nullptr);
  ~Views() override;

  QQuickWindow* panel() const { return panel_.get(); }
  QQuickWindow* settings() const { return settings_; }
  bool hasTray() const { return tray_ != nullptr; }

 public slots:
  // Shows the panel: as an ordinary window when asked or when there is no tray to anchor it.
  void showPanel(bool ordinary_window = false);
  void togglePanel();
  void openSettings();

 signals:
  void quitRequested();

 private slots:
  void updateIcon();

 private:
  void placePanelAtTray();
  std::unique_ptr<QQuickWindow> createWindow(const char* file, const QVariantMap& properties);

  QObject* app_state_;
  QObject* typing_;
  QObject* history_;
  ModelFolder model_folder_;
  Preferences preferences_;
  QQmlApplicationEngine engine_;
  std::unique_ptr<QQuickWindow> panel_;
  QPointer<QQuickWindow> settings_;
  std::unique_ptr<QMenu> menu_;
  std::unique_ptr<QSystemTrayIcon> tray_;
};

#endif
