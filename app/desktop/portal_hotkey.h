#ifndef ORVANE_APP_PORTAL_HOTKEY_H
#define ORVANE_APP_PORTAL_HOTKEY_H

#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QObject>
#include <QString>
#include <QVariantMap>
#include <functional>

// Alt+Space through the desktop portal's GlobalShortcuts interface (Wayland desktops). The portal
// answers asynchronously: start() returns at once; on_press runs for every activation,
// on_release for every deactivation (the key coming up), and on_failed once, with the reason,
// when the portal is missing or refuses the shortcut.
class PortalHotKey : public QObject {
  Q_OBJECT
 public:
  PortalHotKey(std::function<void()> on_press, std::function<void(int held_ms)> on_release,
               std::function<void(const QString&)> on_failed, QObject* parent = nullptr);
  ~PortalHotKey() override;

  void start();

  static constexpr const char* kShortcutId = "toggle-recording";

 private slots:
  void sessionCreated(uint response, const QVariantMap& results);
  void shortcutsBound(uint response, const QVariantMap& results);
  void activated(const QDBusObjectPath& session, const QString& shortcut_id, qulonglong timestamp,
                 const QVariantMap& options);
  void deactivated(const QDBusObjectPath& session, const QString& shortcut_id,
                   qulonglong timestamp, const QVariantMap& options);

 private:
  // Portal requests answer through a Response signal on a request object whose path the caller
  // can predict from its token; the handler is connected before the call so no answer is missed.
  void request(const QString& method, const QVariantList& args, const QString& token,
               const char* slot);
  void call(const QDBusMessage& message, std::function<void(const QDBusMessage&)> on_reply);
  void fail(const QString& why);

  std::function<void()> on_press_;
  std::function<void(int held_ms)> on_release_;
  qulonglong activated_at_ = 0;  // the portal's time stamp of the last activation, in ms
  std::function<void(const QString&)> on_failed_;
  QString session_;
  QString pending_request_;
  bool failed_ = false;
};

#endif
