#include "xtest_typer.h"

#include <QLoggingCategory>
#include <algorithm>

#include "typing_log.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

namespace {

constexpr int kBatchChars = 256;     // characters typed per step of the event loop
constexpr int kModifierPollMs = 20;  // how often a held modifier is looked at again
// How long a keycode keeps a borrowed symbol after its last use. A client reads the new keymap
// only when it handles the mapping change, which may be after a later change: the pause lets
// every client catch up before the keycode means something else.
constexpr int kSettleMs = 150;

// The keysym of code point CP: Latin-1 keysyms are the code points, the rest of Unicode has
// keysyms of its own (0x01000000 + CP); control characters other than newline and tab have none.
unsigned int keysymFor(char32_t cp) {
  if (cp == '\n') return XK_Return;
  if (cp == '\t') return XK_Tab;
  if (cp < 0x20 || (cp >= 0x7f && cp < 0xa0)) return NoSymbol;
  if (cp <= 0xff) return cp;
  return 0x01000000u | cp;
}

// Protocol errors on the typer's connection are counted, not fatal (Xlib's default handler
// ends the process). Installed only around the typer's own requests.
int g_errors = 0;
int countError(Display*, XErrorEvent*) {
  g_errors++;
  return 0;
}

class ErrorTrap {
 public:
  explicit ErrorTrap(Display* display) : display_(display), previous_(XSetErrorHandler(countError)) {
    g_errors = 0;
  }
  ~ErrorTrap() { XSetErrorHandler(previous_); }
  // Waits for the server to handle every request so far; true when none failed.
  bool sync() {
    XSync(display_, False);
    return g_errors == 0;
  }

 private:
  Display* display_;
  XErrorHandler previous_;
};

}  // namespace

void XTestTyper::DisplayCloser::operator()(_XDisplay* d) const { XCloseDisplay(d); }

std::unique_ptr<XTestTyper> XTestTyper::open() {
  Display* display = XOpenDisplay(nullptr);
  if (!display) return nullptr;
  int event = 0, error = 0, major = 0, minor = 0;
  int xkb_major = XkbMajorVersion, xkb_minor = XkbMinorVersion;
  if (!XTestQueryExtension(display, &event, &error, &major, &minor) ||
      !XkbQueryExtension(display, nullptr, &event, &error, &xkb_major, &xkb_minor)) {
    XCloseDisplay(display);
    return nullptr;
  }
  return std::unique_ptr<XTestTyper>(new XTestTyper(display));
}

XTestTyper::XTestTyper(_XDisplay* display)
    : display_(display), shift_code_(XKeysymToKeycode(display, XK_Shift_L)) {
  step_.setSingleShot(true);
  connect(&step_, &QTimer::timeout, this, &XTestTyper::typePending);
  restore_.setSingleShot(true);
  restore_.setInterval(kSettleMs);
  connect(&restore_, &QTimer::timeout, this, [this] {
    clearBorrowed();
    finishing_ = false;
    emit becameIdle();
  });
}

XTestTyper::~XTestTyper() {
  if (!borrowed_.isEmpty()) clearBorrowed();
}

void XTestTyper::type(const QString& text) {
  if (text.isEmpty()) return;
  pending_ += text;
  restore_.stop();
  if (!step_.isActive()) step_.start(0);
}

void XTestTyper::finish() {
  finishing_ = true;
  if (!step_.isActive()) step_.start(0);
}

void XTestTyper::setPaused(bool paused) {
  if (paused == paused_) return;
  paused_ = paused;
  // The wait for held modifiers starts afresh: the user may still be letting go of them.
  modifier_wait_.invalidate();
  if (!paused_ && !step_.isActive()) step_.start(0);
}

void XTestTyper::typePending() {
  if (paused_) return;  // setPaused(false) starts again
  Display* display = display_.get();
  if (pending_.isEmpty()) {
    if (finishing_) restore_.start();
    return;
  }
  if (!releaseHeldModifiers()) return step_.start(kModifierPollMs);

  ErrorTrap trap(display);
  XkbStateRec state{};
  XkbGetState(display, XkbUseCoreKbd, &state);
  // Caps Lock would capitalise letters the layout lacks (their borrowed keycodes have one level
  // only): it is off while the batch is typed, and the keys are looked up without it.
  const bool caps_lock = state.locked_mods & LockMask;
  state.locked_mods &= static_cast<unsigned char>(~LockMask);
  std::unique_ptr<XkbDescRec, void (*)(XkbDescPtr)> xkb(
      XkbGetMap(display, XkbAllClientInfoMask, XkbUseCoreKbd),
      [](XkbDescPtr d) { XkbFreeKeyboard(d, 0, True); });
  if (!xkb) {
    pending_.clear();
    return emit failed(QStringLiteral("the X server did not give its keyboard map"));
  }

  // Finds each character's key first, borrowing keycodes as needed, so that the keymap changes
  // reach the server before the first key of the batch.
  std::vector<Key> keys;
  qsizetype used = 0;  // UTF-16 units of pending_ covered by keys
  bool out_of_keycodes = false;
  QHash<unsigned int, Key> found;
  for (char32_t cp : QStringView(pending_).left(kBatchChars).toUcs4()) {
    const qsizetype units = cp > 0xffff ? 2 : 1;
    const unsigned int keysym = keysymFor(cp);
    if (keysym == NoSymbol) {  // nothing types it: left out of the field, kept on the clipboard
      qCDebug(lcTyping, "no key types U+%04X", static_cast<unsigned>(cp));
      used += units;
      continue;
    }
    Key key;
    if (auto it = found.constFind(keysym); it != found.cend()) {
      key = *it;
    } else if (!keyFor(xkb.get(), state, keysym, &key) && !borrowKeycode(keysym, &key)) {
      out_of_keycodes = true;
      break;
    }
    found.insert(keysym, key);
    keys.push_back(key);
    used += units;
  }
  if (!trap.sync()) {
    pending_.clear();
    return emit failed(QStringLiteral("the X server refused a keymap change"));
  }
  if (caps_lock) XkbLockModifiers(display, XkbUseCoreKbd, LockMask, 0);
  for (const Key& key : keys) tap(key);
  if (caps_lock) XkbLockModifiers(display, XkbUseCoreKbd, LockMask, LockMask);
  if (!trap.sync()) {
    pending_.clear();
    return emit failed(QStringLiteral("the X server refused the typed keys"));
  }
  pending_.remove(0, used);
  if (out_of_keycodes) {
    if (keys.empty() && borrowed_.isEmpty()) {
      pending_.clear();
      return emit failed(QStringLiteral("the keyboard map has no free keycode for a character"));
    }
    // Every spare keycode carries a symbol now: let clients catch up, then free them all.
    QTimer::singleShot(kSettleMs, this, [this] {
      clearBorrowed();
      typePending();
    });
    return;
  }
  step_.start(0);
}

bool XTestTyper::releaseHeldModifiers() {
  Display* display = display_.get();
  char down[32] = {};
  XQueryKeymap(display, down);
  std::unique_ptr<XModifierKeymap, int (*)(XModifierKeymap*)> mods(XGetModifierMapping(display),
                                                                   XFreeModifiermap);
  std::vector<KeyCode> held;
  for (int mod = 0; mod < 8; mod++) {
    if (mod == LockMapIndex) continue;  // a lock changes levels, which the key lookup allows for
    for (int i = 0; i < mods->max_keypermod; i++) {
      const KeyCode code = mods->modifiermap[mod * mods->max_keypermod + i];
      if (code && (down[code / 8] & (1 << (code % 8)))) held.push_back(code);
    }
  }
  if (held.empty()) {
    modifier_wait_.invalidate();
    return true;
  }
  if (!modifier_wait_.isValid()) modifier_wait_.start();
  if (modifier_wait_.elapsed() < kModifierWaitMs) return false;
  qCDebug(lcTyping, "releasing %zu held modifier keys before typing", held.size());
  for (KeyCode code : held) XTestFakeKeyEvent(display, code, False, CurrentTime);
  XSync(display, False);
  modifier_wait_.invalidate();
  return true;
}

bool XTestTyper::keyFor(XkbDescPtr xkb, const XkbStateRec& state, unsigned int keysym, Key* key) {
  if (auto it = borrowed_.constFind(keysym); it != borrowed_.cend()) {
    *key = {*it, false};
    return true;
  }
  // Levels are judged with the locks in force, in the active group.
  const unsigned int locks = state.locked_mods & ~ShiftMask;
  for (int code = xkb->min_key_code; code <= xkb->max_key_code; code++) {
    for (bool shift : {false, true}) {
      unsigned int consumed = 0;
      KeySym result = NoSymbol;
      const unsigned int mods = XkbBuildCoreState(locks | (shift ? ShiftMask : 0), state.group);
      if (XkbTranslateKeyCode(xkb, static_cast<KeyCode>(code), mods, &consumed, &result) &&
          result == keysym) {
        *key = {static_cast<unsigned char>(code), shift};
        return !shift || shift_code_ != 0;
      }
    }
  }
  return false;
}

bool XTestTyper::borrowKeycode(unsigned int keysym, Key* key) {
  Display* display = display_.get();
  if (borrowed_.isEmpty()) {
    // The keycodes without symbols, found afresh: the layout may have changed since last time.
    int min = 0, max = 0;
    XDisplayKeycodes(display, &min, &max);
    std::unique_ptr<KeySym, int (*)(void*)> map(
        XGetKeyboardMapping(display, static_cast<KeyCode>(min), max - min + 1, &per_code_), XFree);
    spare_.clear();
    for (int code = min; map && code <= max; code++) {
      const KeySym* syms = map.get() + static_cast<ptrdiff_t>(code - min) * per_code_;
      if (std::all_of(syms, syms + per_code_, [](KeySym s) { return s == NoSymbol; }))
        spare_.push_back(static_cast<unsigned char>(code));
    }
  }
  if (static_cast<size_t>(borrowed_.size()) >= spare_.size()) return false;
  const unsigned char code = spare_[static_cast<size_t>(borrowed_.size())];
  std::vector<KeySym> syms(static_cast<size_t>(per_code_), keysym);
  XChangeKeyboardMapping(display, code, per_code_, syms.data(), 1);
  borrowed_.insert(keysym, code);
  *key = {code, false};
  return true;
}

void XTestTyper::clearBorrowed() {
  Display* display = display_.get();
  ErrorTrap trap(display);
  std::vector<KeySym> none(static_cast<size_t>(per_code_), NoSymbol);
  for (unsigned char code : std::as_const(borrowed_))
    XChangeKeyboardMapping(display, code, per_code_, none.data(), 1);
  borrowed_.clear();
  if (!trap.sync()) qCWarning(lcTyping, "the X server refused to clear a borrowed keycode");
}

void XTestTyper::tap(const Key& key) {
  Display* display = display_.get();
  if (key.shift) XTestFakeKeyEvent(display, shift_code_, True, CurrentTime);
  XTestFakeKeyEvent(display, key.code, True, CurrentTime);
  XTestFakeKeyEvent(display, key.code, False, CurrentTime);
  if (key.shift) XTestFakeKeyEvent(display, shift_code_, False, CurrentTime);
}
