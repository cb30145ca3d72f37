#include "download_command.h"

#include <QCoreApplication>
#include <cstdio>

#include "model_directory.h"
#include "model_download.h"

int runDownloadCommand() {
  const QString dir = configuredModelDirectory();
  std::fprintf(stderr, "Model directory: %s\n", qPrintable(dir));
  ModelDownloader downloader;
  int status = 1;
  QObject::connect(&downloader, &ModelDownloader::statusChanged, [](const QString& text) {
    std::fprintf(stderr, "%s\n", qPrintable(text));
  });
  QObject::connect(&downloader, &ModelDownloader::finished, [&status] {
    std::fprintf(stderr, "All model files are in place.\n");
    status = 0;
    QCoreApplication::exit(0);
  });
  QObject::connect(&downloader, &ModelDownloader::failed, [](const QString& reason) {
    std::fprintf(stderr, "Download failed: %s\n", qPrintable(reason));
    QCoreApplication::exit(1);
  });
  downloader.start(dir, modelBaseUrl());
  if (downloader.isRunning()) QCoreApplication::exec();
  return status;
}
