// orvane-app: dictation from the desktop. Without options it starts the app, or, when it runs
// already, opens the running one's panel; --toggle, --download and --help run without a window.
#include <QApplication>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QLoggingCategory>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "core/app_settings.h"
#include "core/app_state.h"
#include "core/download_command.h"
#include "desktop/desktop_shell.h"
#include "desktop/single_instance.h"

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
  parser.addOption({QStringLiteral("toggle"),
                    QStringLiteral("Start or stop recording in the running app, then exit (for a "
                                   "shortcut of the desktop where Alt+Space is not available).")});
  parser.addOption({{QStringLiteral("v"), QStringLiteral("verbose")},
                    QStringLiteral("Log how each dictation's words are delivered.")});
  parser.addOption({QStringLiteral("show-panel"),
                    QStringLiteral("Open the panel as an ordinary window (for desktops without a "
                                   "tray).")});
}

// Starts the app, unless one runs already: that one gets the request to show its panel.
int runApp(bool show_panel) {
  SingleInstance instance;
  if (!instance.claim()) {
    if (SingleInstance::send(QStringLiteral("show"))) return 0;
    std::fprintf(stderr, "orvane-app: another instance holds %s.lock but does not answer\n",
                 qPrintable(SingleInstance::socketPath()));
    return 1;
  }
  AppState state;
  DesktopShell shell(state, instance, show_panel);
  if (settingBool(kLoadAtStartKey, true)) state.preloadModel();
  return QCoreApplication::exec();
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication::setOrganizationName(QStringLiteral("Orvane"));
  QCoreApplication::setApplicationName(QStringLiteral("OrvaneApp"));

  // Headless options must not need a display, so they get a core application only.
  std::unique_ptr<QCoreApplication> app;
  if (hasArgument(argc, argv, "--download") || hasArgument(argc, argv, "--help") ||
      hasArgument(argc, argv, "-h") || hasArgument(argc, argv, "--toggle"))
    app = std::make_unique<QCoreApplication>(argc, argv);
  else
    app = std::make_unique<QApplication>(argc, argv);  // widgets: the tray icon and its menu

  QCommandLineParser parser;
  describeOptions(parser);
  parser.process(*app);
  if (parser.isSet(QStringLiteral("verbose")))
    QLoggingCategory::setFilterRules(QStringLiteral("orvane.*=true"));
  if (parser.isSet(QStringLiteral("download"))) return runDownloadCommand();
  if (parser.isSet(QStringLiteral("toggle"))) {
    if (SingleInstance::send(QStringLiteral("toggle"))) return 0;
    std::fprintf(stderr, "orvane-app: no running orvane-app to toggle; start it first\n");
    return 1;
  }
  const int rc = runApp(parser.isSet(QStringLiteral("show-panel")));
  app.reset();
  // Qt Multimedia 6.4 closes its PulseAudio connection from a static destructor while libpulse's
  // thread may still be dispatching, which now and then aborts at exit ("Assertion 'pd'
  // failed"). Everything of ours is released by now, so end without static destructors.
  std::fflush(nullptr);
  std::_Exit(rc);
}
