#ifndef ORVANE_APP_X11_HOTKEY_H
#define ORVANE_APP_X11_HOTKEY_H

#include <xcb/xcb.h>

#include <QSocketNotifier>
#include <functional>
#include <memory>

// Alt+Space grabbed on the X11 root window through a connection of its own, so that it works
// whatever Qt's platform plugin is. Presses and releases arrive on the thread that created the
// object, one of each per time the key goes down: the server's auto-repeat is made detectable
// (XKB), so a held key sends no releases until it really comes up. A release carries how long
// the key was down, by the server's clock, so a busy program does not mistake a short press for
// a long one. Without XKB no releases are reported.
class X11HotKey {
 public:
  enum class Result { Grabbed, Taken, NoDisplay };

  explicit X11HotKey(std::function<void()> on_press,
                     std::function<void(int held_ms)> on_release = {});
  ~X11HotKey();
  X11HotKey(const X11HotKey&) = delete;
  X11HotKey& operator=(const X11HotKey&) = delete;

  // Grabs the key with every combination of the NumLock and CapsLock modifiers. Taken means
  // another client holds Alt+Space already (the X server answered BadAccess).
  Result grab();

 private:
  struct Keys {
    xcb_keycode_t space = 0;
    uint16_t alt = XCB_MOD_MASK_1;
    uint16_t num_lock = XCB_MOD_MASK_2;
    bool operator==(const Keys&) const = default;
  };
  Keys lookUpKeys() const;
  bool enableDetectableRepeat();
  Result grabKeys();
  void ungrabKeys();
  void readEvents();

  struct ConnectionCloser {
    void operator()(xcb_connection_t* c) const { xcb_disconnect(c); }
  };
  std::unique_ptr<xcb_connection_t, ConnectionCloser> conn_;
  std::unique_ptr<QSocketNotifier> notifier_;
  std::function<void()> on_press_;
  std::function<void(int held_ms)> on_release_;
  xcb_window_t root_ = 0;
  Keys keys_;
  xcb_timestamp_t last_release_ = 0;
  bool detectable_repeat_ = false;
  bool held_ = false;
  xcb_timestamp_t pressed_at_ = 0;
};

#endif
