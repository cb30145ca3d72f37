// The settings window's view of the model directory, for QML.
#ifndef ORVANE_APP_MODEL_FOLDER_H
#define ORVANE_APP_MODEL_FOLDER_H

#include <QObject>
#include <QString>
#include <QUrl>

#include "core/model_directory.h"

class ModelFolder : public QObject {
  Q_OBJECT

 public:
  using QObject::QObject;
  // "" for an empty path, "Found model files", or "Missing: " and the missing files.
  Q_INVOKABLE QString check(const QString& path) const { return checkModelStatus(path); }
  // The file-system path of a folder the folder picker chose.
  Q_INVOKABLE QString localPath(const QUrl& url) const { return url.toLocalFile(); }
};

#endif
