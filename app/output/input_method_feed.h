// The local socket through which Orvane's input-method engines (IBus, Fcitx5) get a dictation's
// words from this process, which holds the microphone and the model. Each engine process
// connects to socketPath() and the two sides exchange lines of UTF-8:
//
//   engine -> app   "active 1" / "active 0"   a field whose input method is ours has focus, or not
//                   "switchable 1"            the engine can make itself the input method for the
//                                             length of a dictation, and switch back afterwards
//   app -> engine   "begin"                   a dictation starts
//                   "text PIECE"              the next decoded words; backslash, newline and
//                                             carriage return written as \\, \n and \r
//                   "end"                     the dictation ended: commit everything
#ifndef ORVANE_APP_INPUT_METHOD_FEED_H
#define ORVANE_APP_INPUT_METHOD_FEED_H

#include <QByteArray>
#include <QList>
#include <QLocalServer>
#include <QObject>
#include <QString>

class QLocalSocket;

class InputMethodFeed : public QObject {
  Q_OBJECT

 public:
  explicit InputMethodFeed(QObject* parent = nullptr);
  ~InputMethodFeed() override;

  // Listens on socketPath(); false (with the reason logged) when it cannot.
  bool listen();
  static QString socketPath();

  // Some engine can take a dictation now: it is active in the focused field, or can switch to
  // itself.
  bool ready() const;

  void begin() { send("begin"); }
  void text(const QString& piece) { send("text " + escape(piece)); }
  void end() { send("end"); }

  static QByteArray escape(const QString& piece);

 signals:
  void readyChanged();

 private:
  struct Engine {
    QLocalSocket* socket;
    bool active = false;
    bool switchable = false;
  };
  void accept();
  void read(QLocalSocket* socket);
  void drop(QLocalSocket* socket);
  void send(const QByteArray& line);

  QLocalServer server_;
  QList<Engine> engines_;
};

#endif
