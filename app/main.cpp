// orvane-app: dictation from the desktop. Without options it starts the app; --download and
// --help run without a window.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QGuiApplication>
#include <memory>

#include "core/app_state.h"
#include "core/download_command.h"

namespace {

bool hasArgument(int argc, char** argv, const char* option) {
  for (int i = 1; i < argc; i++)
    if (qstrcmp(argv[i], option) == 0) return true;
  return false;
}

void describeOptions(QCommandLineParser& parser) {
  parser.setApplicationDescription(QStringLiteral(
      "On-device dictation: press Alt+Space, speak, press again; the transcript is copied to the "
      "clipboard."));
  parser.addHelpOption();
  parser.addOption({QStringLiteral("download"),
                    QStringLiteral("Download the missing model files into the model directory, "
                                   "then exit (no window).")});
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication::setOrganizationName(QStringLiteral("Orvane"));
  QCoreApplication::setApplicationName(QStringLiteral("OrvaneApp"));

  // Headless options must not need a display, so they get a core application only.
  std::unique_ptr<QCoreApplication> app;
  if (hasArgument(argc, argv, "--download") || hasArgument(argc, argv, "--help") ||
      hasArgument(argc, argv, "-h"))
    app = std::make_unique<QCoreApplication>(argc, argv);
  else
    app = std::make_unique<QGuiApplication>(argc, argv);

  QCommandLineParser parser;
  describeOptions(parser);
  parser.process(*app);
  if (parser.isSet(QStringLiteral("download"))) return runDownloadCommand();

  AppState state;
  return QCoreApplication::exec();
}
