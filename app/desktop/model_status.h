// The settings window's view of the model directory, for QML.
#ifndef ORVANE_APP_MODEL_STATUS_H
#define ORVANE_APP_MODEL_STATUS_H

#include <QObject>
#include <QString>

#include "core/model_directory.h"

class ModelStatus : public QObject {
  Q_OBJECT

 public:
  using QObject::QObject;
  // "" for an empty path, "Found model files", or "Missing: " and the missing files.
  Q_INVOKABLE QString check(const QString& path) const { return checkModelStatus(path); }
};

#endif
