// Types text into whichever X11 window has the keyboard focus, through the XTest extension, as
// if the user pressed the keys. Characters the keyboard layout has are typed with their own keys
// (with Shift where needed); the others get a keycode that no key uses, mapped to them for the
// dictation and cleared again afterwards, so the user's keymap ends as it began. No character is
// typed while a modifier is held: the typer waits for its release a moment, then releases it.
// While paused (the user holds the hot key) it only queues: the key's grab would take the typed
// keys, and a released modifier would end the press.
#ifndef ORVANE_APP_XTEST_TYPER_H
#define ORVANE_APP_XTEST_TYPER_H

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QString>
#include <QTimer>
#include <memory>
#include <vector>

struct _XDisplay;
struct _XkbDesc;
struct _XkbStateRec;

class XTestTyper : public QObject {
  Q_OBJECT

 public:
  // How long a held modifier (Alt of Alt+Space) may delay the first characters.
  static constexpr int kModifierWaitMs = 600;

  // A typer on its own connection to DISPLAY; null when there is no X server or no XTest.
  static std::unique_ptr<XTestTyper> open();
  ~XTestTyper() override;

  // Appends TEXT to what is waiting to be typed; typing goes on from the event loop.
  void type(const QString& text);
  // The dictation's text is all given: once it is typed, the borrowed keycodes are cleared.
  void finish();
  // While PAUSED, text is queued and nothing is typed or released; unpausing types the queue.
  void setPaused(bool paused);

 signals:
  // Typing stopped for good (the X connection broke); what was not typed is lost to the field.
  void failed(const QString& reason);
  // Everything given before finish() is typed and the keymap is the user's again.
  void becameIdle();

 private:
  struct DisplayCloser {
    void operator()(_XDisplay* d) const;
  };
  struct Key {
    unsigned char code = 0;
    bool shift = false;
  };
  explicit XTestTyper(_XDisplay* display);
  void typePending();
  bool releaseHeldModifiers();
  bool keyFor(_XkbDesc* xkb, const _XkbStateRec& state, unsigned int keysym, Key* key);
  bool borrowKeycode(unsigned int keysym, Key* key);
  void clearBorrowed();
  void tap(const Key& key);

  std::unique_ptr<_XDisplay, DisplayCloser> display_;
  QString pending_;
  QTimer step_;
  QTimer restore_;
  QElapsedTimer modifier_wait_;  // running while a held modifier delays typing
  bool finishing_ = false;
  bool paused_ = false;
  std::vector<unsigned char> spare_;       // keycodes without symbols, free to borrow
  QHash<unsigned int, unsigned char> borrowed_;  // keysym -> keycode mapped to it now
  int per_code_ = 1;                             // keysyms per keycode in the core keymap
  unsigned char shift_code_ = 0;
};

#endif
