// The panel and the settings window in every state, checked through the QML item tree and kept
// as screenshots under the build directory (screenshots/*.png).
#include <QDir>
#include <QFile>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTemporaryDir>
#include <QTest>

#include "app_test_support.h"
#include "core/app_settings.h"
#include "core/recording_state.h"
#include "core/transcript_history.h"
#include "desktop/preferences.h"
#include "desktop/views.h"

namespace {

// The properties the views read, set directly, so every state can be shown at will.
class ShownState : public QObject {
  Q_OBJECT
  Q_PROPERTY(RecordingState recordingState MEMBER recordingState NOTIFY recordingStateChanged)
  Q_PROPERTY(QString statusIcon READ statusIcon NOTIFY recordingStateChanged)
  Q_PROPERTY(QString liveText MEMBER liveText NOTIFY liveTextChanged)
  Q_PROPERTY(QList<float> waveformLevels MEMBER waveformLevels NOTIFY waveformLevelsChanged)
  Q_PROPERTY(double downloadProgress MEMBER downloadProgress NOTIFY downloadProgressChanged)
  Q_PROPERTY(QString modelDirectoryPath MEMBER modelDirectoryPath NOTIFY modelDirectoryPathChanged)

 public:
  RecordingState recordingState;
  QString liveText;
  QList<float> waveformLevels = QList<float>(50, 0.0f);
  double downloadProgress = 0;
  QString modelDirectoryPath;
  QString statusIcon() const { return recordingState.statusIcon(); }

 signals:
  void recordingStateChanged();
  void liveTextChanged();
  void waveformLevelsChanged();
  void downloadProgressChanged();
  void modelDirectoryPathChanged();
};

// The first item named NAME under ROOT in the visual tree (list delegates are not QObject
// children of their list).
QQuickItem* findItem(QQuickItem* root, const char* name) {
  if (root->objectName() == QLatin1String(name)) return root;
  for (QQuickItem* child : root->childItems())
    if (QQuickItem* found = findItem(child, name)) return found;
  return nullptr;
}

// Named items of a window's QML tree; a missing one ends the test program with its name.
QQuickItem* item(QQuickWindow* window, const char* name) {
  auto* found = window->findChild<QQuickItem*>(name);
  if (!found) found = findItem(window->contentItem(), name);
  if (!found) qFatal("no item named %s", name);
  return found;
}

QString text(QQuickWindow* window, const char* name) {
  return item(window, name)->property("text").toString();
}

bool shown(QQuickWindow* window, const char* name) { return item(window, name)->isVisible(); }

// Once the X server has given the window the size its content asks for.
void screenshot(QQuickWindow* window, const QString& name) {
  QDir().mkpath(ORVANE_SCREENSHOT_DIR);
  QTRY_COMPARE(window->grabWindow().size(), window->size());
  QVERIFY(window->grabWindow().save(QStringLiteral(ORVANE_SCREENSHOT_DIR "/%1.png").arg(name)));
}

// Levels are single-precision, so geometry matches to a small fraction of a point.
bool near(double actual, double expected, double tolerance = 1e-3) {
  return qAbs(actual - expected) < tolerance;
}

// A mouse click in the middle of a named item.
void click(QQuickWindow* window, const char* name) {
  QQuickItem* it = item(window, name);
  QTest::mouseClick(window, Qt::LeftButton, {}, it->mapToScene(QPointF(it->width() / 2, it->height() / 2)).toPoint());
}

QList<QQuickItem*> bars(QQuickWindow* window) {
  QList<QQuickItem*> found;
  for (QQuickItem* child : item(window, "waveform")->childItems())
    if (QByteArray(child->metaObject()->className()).startsWith("QQuickRectangle")) found << child;
  return found;
}

}  // namespace

class ViewsTest : public QObject {
  Q_OBJECT

  ShownState state_;
  std::unique_ptr<TranscriptHistory> history_;
  std::unique_ptr<Views> views_;
  QQuickWindow* panel_ = nullptr;

  void show(const RecordingState& state) {
    state_.recordingState = state;
    emit state_.recordingStateChanged();
    // The level meter fades in and out over 0.2 s: wait until it has settled.
    const bool meter = state.kind() == RecordingState::Kind::Recording;
    QTRY_COMPARE(item(panel_, "waveform")->opacity(), meter ? 1.0 : 0.0);
  }

 private slots:
  void initTestCase() {
    useFreshSettings("views_test");
    qputenv("ORVANE_MODEL_URL", "https://models.example/resolve/main");
    history_ = std::make_unique<TranscriptHistory>();
    views_ = std::make_unique<Views>(&state_, nullptr, nullptr, nullptr, history_.get());
    views_->showPanel(true);
    panel_ = views_->panel();
    QVERIFY(panel_);
    QVERIFY(QTest::qWaitForWindowExposed(panel_));
  }

  void idleShowsReadyAndNothingElse() {
    show(RecordingState::idle());
    QCOMPARE(text(panel_, "stateText"), "Ready");
    QCOMPARE(item(panel_, "stateDot")->property("color").value<QColor>(), QColor("#8e8e93"));
    QVERIFY(!shown(panel_, "downloadProgress"));
    QVERIFY(!shown(panel_, "waveform"));
    QVERIFY(!shown(panel_, "transcriptBox"));
    QCOMPARE(text(panel_, "hint"), "Press Alt+Space to start/stop recording");
    QCOMPARE(panel_->width(), 320 + 2 * 16);
    screenshot(panel_, "panel-idle");
  }

  void downloadingShowsItsLineAndProgress() {
    state_.downloadProgress = 0.4;
    emit state_.downloadProgressChanged();
    show(RecordingState::downloading("Downloading tekken.json (40%)"));
    QCOMPARE(text(panel_, "stateText"), "Downloading tekken.json (40%)");
    QVERIFY(shown(panel_, "downloadProgress"));
    QCOMPARE(item(panel_, "downloadProgress")->property("value").toDouble(), 0.4);
    QVERIFY(!shown(panel_, "waveform"));
    screenshot(panel_, "panel-downloading");
  }

  void recordingShowsTheLevelMeterFollowingTheLevels() {
    state_.waveformLevels.clear();
    for (int i = 0; i < 50; i++)
      state_.waveformLevels << (i % 3 == 0 ? 0.5f : i % 3 == 1 ? 0.1f : 0.0f);
    emit state_.waveformLevelsChanged();
    state_.liveText = "hello wor";
    emit state_.liveTextChanged();
    show(RecordingState::recording());
    QCOMPARE(text(panel_, "stateText"), "Recording...");
    QVERIFY(shown(panel_, "waveform"));
    QVERIFY(shown(panel_, "transcriptBox"));

    // 50 bars over 320 points with 1.5 points between them, 40 points high: a level of 0.5 is a
    // full-height opaque bar, 0.1 is 12 points at 51 %, silence a 2-point sliver at 30 %.
    const QList<QQuickItem*> meter = bars(panel_);
    QCOMPARE(meter.size(), 50);
    const double width = (320 - 49 * 1.5) / 50;
    const double heights[] = {40, 12, 2};
    const double opacities[] = {1.0, 0.51, 0.3};
    for (int i = 0; i < 50; i++) {
      QQuickItem* bar = meter[i];
      QVERIFY(near(bar->x(), i * (width + 1.5)));
      QVERIFY(near(bar->width(), width));
      QVERIFY(near(bar->height(), heights[i % 3]));
      QVERIFY(near(bar->y(), (40 - heights[i % 3]) / 2));
      QVERIFY(near(bar->property("color").value<QColor>().alphaF(), opacities[i % 3], 0.01));
    }
    screenshot(panel_, "panel-recording");

    // A new level arrives: the bars move one to the left.
    state_.waveformLevels.removeFirst();
    state_.waveformLevels << 0.5f;
    emit state_.waveformLevelsChanged();
    QVERIFY(near(bars(panel_)[0]->height(), 12));
    QVERIFY(near(bars(panel_)[49]->height(), 40));
  }

  void doneKeepsTheEndOfALongTranscriptInView() {
    QString long_text;
    for (int i = 1; i <= 60; i++)
      long_text += QStringLiteral("Sentence number %1 of the dictation. ").arg(i);
    long_text += "The end.";
    state_.liveText = long_text;
    emit state_.liveTextChanged();
    show(RecordingState::done());
    QCOMPARE(text(panel_, "stateText"), "Copied!");
    QVERIFY(!shown(panel_, "waveform"));
    QCOMPARE(text(panel_, "transcript"), long_text);
    QVERIFY(item(panel_, "transcript")->property("selectByMouse").toBool());

    QQuickItem* box = item(panel_, "transcriptBox");
    QQuickItem* scroll = item(panel_, "transcriptScroll");
    QCOMPARE(box->height(), 200.0);
    const double bottom = scroll->property("contentHeight").toDouble() - scroll->height();
    QVERIFY(bottom > 0);
    QCOMPARE(scroll->property("contentY").toDouble(), bottom);
    screenshot(panel_, "panel-done");

    // More words: the box scrolls on and the panel keeps its size.
    const int height = panel_->height();
    for (int i = 0; i < 5; i++) state_.liveText += " And a few more words at the end.";
    emit state_.liveTextChanged();
    QCOMPARE(panel_->height(), height);
    QVERIFY(scroll->property("contentHeight").toDouble() - scroll->height() > bottom);
    QCOMPARE(scroll->property("contentY").toDouble(),
             scroll->property("contentHeight").toDouble() - scroll->height());
  }

  // Earlier transcripts newest first, in a list of its own height; one deleted, then all.
  void historyListsEarlierTranscripts() {
    QVERIFY(!shown(panel_, "history"));
    history_->add("An older transcript.");
    history_->add("The newest transcript, long enough to be cut at the end of its second line in "
                  "the panel, so that one entry never takes more than two lines of it.");
    QTRY_VERIFY(shown(panel_, "history"));
    QCOMPARE(item(panel_, "historyList")->property("count").toInt(), 2);
    screenshot(panel_, "panel-history");
    click(panel_, "deleteHistory1");
    QCOMPARE(history_->list().size(), 1);
    QVERIFY(history_->list().first().text.startsWith("The newest"));
    click(panel_, "clearHistoryButton");
    QVERIFY(history_->list().isEmpty());
    QTRY_VERIFY(!shown(panel_, "history"));
  }

  void errorShowsTheMessageInRed() {
    state_.liveText.clear();
    emit state_.liveTextChanged();
    show(RecordingState::error("Download failed: no model address is set"));
    QCOMPARE(text(panel_, "stateText"), "Error: Download failed: no model address is set");
    QCOMPARE(item(panel_, "stateDot")->property("color").value<QColor>(), QColor("#ff3b30"));
    QVERIFY(!shown(panel_, "transcriptBox"));
    screenshot(panel_, "panel-error");
  }

  void settingsShowWhetherTheDirectoryHoldsTheModel() {
    QTemporaryDir dir;
    state_.modelDirectoryPath = dir.path();
    emit state_.modelDirectoryPathChanged();
    views_->openSettings();
    QQuickWindow* settings = views_->settings();
    QVERIFY(QTest::qWaitForWindowActive(settings));
    QCOMPARE(text(settings, "modelStatus"), "Missing: consolidated.safetensors, tekken.json");
    QCOMPARE(item(settings, "modelStatus")->property("color").value<QColor>(), QColor("#ff3b30"));
    screenshot(settings, "settings-missing");

    // Typing a path updates the status with each change; an empty field shows none.
    for (const char* name : {"consolidated.safetensors", "tekken.json"}) {
      QFile file(dir.filePath(name));
      QVERIFY(file.open(QIODevice::WriteOnly));
    }
    QQuickItem* field = item(settings, "modelPathField");
    field->forceActiveFocus();
    QTest::keyClick(settings, Qt::Key_End);
    QTest::keyClick(settings, Qt::Key_Slash);
    QCOMPARE(state_.modelDirectoryPath, dir.path() + "/");
    QCOMPARE(text(settings, "modelStatus"), "Found model files");
    QCOMPARE(item(settings, "modelStatus")->property("color").value<QColor>(), QColor("#28cd41"));
    screenshot(settings, "settings-found");

    QTest::keyClick(settings, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(settings, Qt::Key_Backspace);
    QCOMPARE(state_.modelDirectoryPath, QString());
    QVERIFY(!shown(settings, "modelStatus"));
  }

  // The download address, the microphones, and switches that write their settings.
  void settingsOfferTheAppsChoices() {
    views_->openSettings();
    QQuickWindow* settings = views_->settings();
    QVERIFY(QTest::qWaitForWindowActive(settings));
    QCOMPARE(item(settings, "modelUrlField")->property("placeholderText").toString(),
             "https://models.example/resolve/main");
    QQuickItem* devices = item(settings, "inputDeviceBox");
    QCOMPARE(devices->property("currentText").toString(), "System default");

    click(settings, "autostartBox");
    QVERIFY(QFile::exists(Preferences::autostartPath()));
    click(settings, "autostartBox");
    QVERIFY(!QFile::exists(Preferences::autostartPath()));

    history_->add("Something said.");
    click(settings, "keepHistoryBox");
    QCOMPARE(appSettings().value(kKeepHistoryKey).toBool(), false);
    QObject* dialog = settings->findChild<QObject*>("deleteHistoryDialog");
    QVERIFY(dialog);
    QTRY_VERIFY(dialog->property("opened").toBool());
    screenshot(settings, "settings-delete-history");
    QMetaObject::invokeMethod(dialog, "accept");
    QVERIFY(history_->list().isEmpty());
    QVERIFY(!QFile::exists(history_->path()));
  }
};

QTEST_MAIN(ViewsTest)
#include "views_test.moc"
