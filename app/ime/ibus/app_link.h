// The engine's link to the running orvane-app: a connection to its input-method socket, made
// again every second while the app is not there. Lines from the app go to onLine; the engine's
// state ("active", "switchable") is sent on every change and again after each reconnection.
#ifndef ORVANE_IME_APP_LINK_H
#define ORVANE_IME_APP_LINK_H

#include <gio/gio.h>

#include <functional>
#include <string>
#include <string_view>

class AppLink {
 public:
  explicit AppLink(std::function<void(std::string_view)> on_line);
  ~AppLink();
  AppLink(const AppLink&) = delete;
  AppLink& operator=(const AppLink&) = delete;

  void start();
  void setActive(bool active);
  void setSwitchable(bool switchable);

  // The socket orvane-app listens on (the same rule as the app's).
  static std::string socketPath();

 private:
  static void connected(GObject* source, GAsyncResult* result, gpointer self);
  static void lineRead(GObject* source, GAsyncResult* result, gpointer self);
  void readNext();
  void lost();
  void sendState();

  std::function<void(std::string_view)> on_line_;
  GSocketClient* client_ = nullptr;
  GSocketConnection* connection_ = nullptr;
  GDataInputStream* input_ = nullptr;
  GCancellable* cancel_ = nullptr;
  guint retry_ = 0;
  bool active_ = false;
  bool switchable_ = false;
};

#endif
