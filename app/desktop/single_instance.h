#ifndef ORVANE_APP_SINGLE_INSTANCE_H
#define ORVANE_APP_SINGLE_INSTANCE_H

#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QString>
#include <functional>
#include <memory>

// One orvane-app per user. The first instance holds a lock file and listens on a local socket;
// a later one hands its request ("toggle", "show") to it and exits, so `orvane-app --toggle` can
// be bound to a desktop shortcut where the global key cannot be grabbed.
class SingleInstance : public QObject {
  Q_OBJECT
 public:
  explicit SingleInstance(QObject* parent = nullptr);
  ~SingleInstance() override;

  // True when this process is the first instance; it then listens for requests.
  bool claim();

  // Delivers a request to the running instance; false when none answered.
  static bool send(const QString& request);

  // Called on the GUI thread with each request received.
  std::function<void(const QString&)> onRequest;

  static QString socketPath();

 private:
  void serve(QLocalSocket* client);

  std::unique_ptr<QLockFile> lock_;
  QLocalServer server_;
};

#endif
