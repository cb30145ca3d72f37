#include "x11_hotkey.h"

// xcb/xkb.h names a structure member "explicit", a keyword in C++.
#define explicit xkb_explicit
#include <xcb/xkb.h>
#undef explicit

#include <algorithm>
#include <array>
#include <climits>
#include <cstdlib>
#include <span>

namespace {

constexpr xcb_keysym_t kSpace = 0x0020;
constexpr xcb_keysym_t kAltL = 0xffe9;
constexpr xcb_keysym_t kAltR = 0xffea;
constexpr xcb_keysym_t kNumLock = 0xff7f;

template <typename T>
struct FreeReply {
  void operator()(T* p) const { std::free(p); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeReply<T>>;

}  // namespace

X11HotKey::X11HotKey(std::function<void()> on_press, std::function<void(int)> on_release)
    : on_press_(std::move(on_press)), on_release_(std::move(on_release)) {}

X11HotKey::~X11HotKey() {
  if (conn_) ungrabKeys();
}

X11HotKey::Keys X11HotKey::lookUpKeys() const {
  xcb_connection_t* c = conn_.get();
  const xcb_setup_t* setup = xcb_get_setup(c);
  const int first = setup->min_keycode;
  const int count = setup->max_keycode - setup->min_keycode + 1;

  Reply<xcb_get_keyboard_mapping_reply_t> map(xcb_get_keyboard_mapping_reply(
      c, xcb_get_keyboard_mapping(c, setup->min_keycode, static_cast<uint8_t>(count)), nullptr));
  Reply<xcb_get_modifier_mapping_reply_t> mods(
      xcb_get_modifier_mapping_reply(c, xcb_get_modifier_mapping(c), nullptr));
  Keys keys;
  if (!map) return keys;

  const int per_code = map->keysyms_per_keycode;
  const std::span<const xcb_keysym_t> syms(
      xcb_get_keyboard_mapping_keysyms(map.get()),
      static_cast<size_t>(xcb_get_keyboard_mapping_keysyms_length(map.get())));
  auto has_sym = [&](xcb_keycode_t code, xcb_keysym_t sym) {
    if (code < first || code - first >= count) return false;
    for (int k = 0; k < per_code; ++k)
      if (syms[static_cast<size_t>((code - first) * per_code + k)] == sym) return true;
    return false;
  };
  for (int code = first; code < first + count && keys.space == 0; ++code)
    if (has_sym(static_cast<xcb_keycode_t>(code), kSpace))
      keys.space = static_cast<xcb_keycode_t>(code);

  // Alt and NumLock sit on Mod1 and Mod2 on almost every layout; the modifier map says for sure.
  if (mods) {
    const int per_mod = mods->keycodes_per_modifier;
    const xcb_keycode_t* codes = xcb_get_modifier_mapping_keycodes(mods.get());
    for (int mod = 3; mod < 8; ++mod) {  // Mod1 .. Mod5
      for (int k = 0; k < per_mod; ++k) {
        const xcb_keycode_t code = codes[mod * per_mod + k];
        const auto mask = static_cast<uint16_t>(1u << mod);
        if (has_sym(code, kNumLock)) keys.num_lock = mask;
        if (has_sym(code, kAltL) || has_sym(code, kAltR)) keys.alt = mask;
      }
    }
  }
  return keys;
}

X11HotKey::Result X11HotKey::grab() {
  conn_.reset(xcb_connect(nullptr, nullptr));
  if (xcb_connection_has_error(conn_.get())) {
    conn_.reset();
    return Result::NoDisplay;
  }
  root_ = xcb_setup_roots_iterator(xcb_get_setup(conn_.get())).data->root;
  detectable_repeat_ = enableDetectableRepeat();
  keys_ = lookUpKeys();
  if (keys_.space == 0) {
    conn_.reset();
    return Result::NoDisplay;
  }
  const Result result = grabKeys();
  if (result != Result::Grabbed) {
    ungrabKeys();
    conn_.reset();
    return result;
  }
  notifier_ = std::make_unique<QSocketNotifier>(xcb_get_file_descriptor(conn_.get()),
                                                QSocketNotifier::Read);
  QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { readEvents(); });
  readEvents();  // anything queued while the grab requests were checked
  return result;
}

bool X11HotKey::enableDetectableRepeat() {
  xcb_connection_t* c = conn_.get();
  Reply<xcb_xkb_use_extension_reply_t> xkb(
      xcb_xkb_use_extension_reply(c, xcb_xkb_use_extension(c, 1, 0), nullptr));
  if (!xkb || !xkb->supported) return false;
  const uint32_t flag = XCB_XKB_PER_CLIENT_FLAG_DETECTABLE_AUTO_REPEAT;
  Reply<xcb_xkb_per_client_flags_reply_t> flags(xcb_xkb_per_client_flags_reply(
      c, xcb_xkb_per_client_flags(c, XCB_XKB_ID_USE_CORE_KBD, flag, flag, 0, 0, 0), nullptr));
  return flags && (flags->value & flag);
}

X11HotKey::Result X11HotKey::grabKeys() {
  const std::array<uint16_t, 4> variants = {
      0, keys_.num_lock, XCB_MOD_MASK_LOCK,
      static_cast<uint16_t>(keys_.num_lock | XCB_MOD_MASK_LOCK)};
  std::array<xcb_void_cookie_t, 4> cookies{};
  for (size_t i = 0; i < variants.size(); ++i)
    cookies[i] = xcb_grab_key_checked(conn_.get(), 0, root_, keys_.alt | variants[i], keys_.space,
                                      XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
  Result result = Result::Grabbed;
  for (auto cookie : cookies) {
    Reply<xcb_generic_error_t> error(xcb_request_check(conn_.get(), cookie));
    if (error) result = Result::Taken;  // BadAccess: another client grabbed the combination first
  }
  return result;
}

void X11HotKey::ungrabKeys() {
  // A round trip, so the key is free for the next grabber (of any client) once this returns.
  // Grabs of the key made by other clients are not touched.
  Reply<xcb_generic_error_t> error(xcb_request_check(
      conn_.get(), xcb_ungrab_key_checked(conn_.get(), keys_.space, root_, XCB_MOD_MASK_ANY)));
}

void X11HotKey::readEvents() {
  while (xcb_generic_event_t* raw = xcb_poll_for_event(conn_.get())) {
    Reply<xcb_generic_event_t> event(raw);
    switch (event->response_type & 0x7f) {
      case XCB_KEY_PRESS: {
        const auto* press = reinterpret_cast<const xcb_key_press_event_t*>(raw);
        // Detectable auto-repeat sends more presses while the key is held; without it a repeat
        // is a release and a press with the same time stamp. One press either way.
        if (press->detail != keys_.space || held_ || press->time == last_release_) break;
        held_ = detectable_repeat_;
        pressed_at_ = press->time;
        if (on_press_) on_press_();
        break;
      }
      case XCB_KEY_RELEASE: {
        const auto* release = reinterpret_cast<const xcb_key_release_event_t*>(raw);
        last_release_ = release->time;
        if (release->detail != keys_.space || !held_) break;
        held_ = false;
        // Server time in milliseconds, wrapping at 2^32: the unsigned difference stays right.
        const xcb_timestamp_t held = release->time - pressed_at_;
        if (on_release_) on_release_(static_cast<int>(std::min<xcb_timestamp_t>(held, INT32_MAX)));
        break;
      }
      case XCB_MAPPING_NOTIFY: {
        // The layout changed: the space bar or the modifiers may have moved. Programs that type
        // through XTEST remap keys for a moment all the time, so the grab is only redone when the
        // keys really moved; releasing it for nothing could lose a press meanwhile.
        const Keys keys = lookUpKeys();
        if (keys == keys_) break;
        ungrabKeys();
        keys_ = keys;
        grabKeys();
        break;
      }
      default:
        break;
    }
  }
  if (xcb_connection_has_error(conn_.get())) notifier_->setEnabled(false);
}
