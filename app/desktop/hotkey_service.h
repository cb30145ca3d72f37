#ifndef ORVANE_APP_HOTKEY_SERVICE_H
#define ORVANE_APP_HOTKEY_SERVICE_H

#include <QObject>
#include <QString>
#include <functional>
#include <memory>

class PortalHotKey;
class X11HotKey;

// Alt+Space from anywhere: an X11 key grab, or the desktop portal on Wayland. Where neither works
// the service says so once, through notice(), and the user binds `orvane-app --toggle` instead.
class HotKeyService : public QObject {
  Q_OBJECT
  Q_PROPERTY(QString notice READ notice NOTIFY noticeChanged)
 public:
  explicit HotKeyService(QObject* parent = nullptr);
  ~HotKeyService() override;

  // Called on the GUI thread for every press and every release of the key (no releases where
  // the system cannot tell them from auto-repeat); set by the owner before registerHotKey().
  std::function<void()> onToggle;
  std::function<void(int held_ms)> onRelease;  // with how long the key was down

  void registerHotKey();
  void unregisterHotKey();

  // Empty while the shortcut works; otherwise one sentence for the panel.
  QString notice() const { return notice_; }

 signals:
  void noticeChanged();

 private:
  void press();
  void release(int held_ms);
  void setNotice(const QString& why);

  std::unique_ptr<X11HotKey> x11_;
  std::unique_ptr<PortalHotKey> portal_;
  QString notice_;
};

#endif
