// Dictation through Orvane's Fcitx5 module: a Fcitx5 instance runs in a thread of this process
// with Fcitx5's test front end and input method, and the module beside them reads the words from
// this process's controller while speech plays into a private sound server. What the front end's
// input contexts get is read from Fcitx5's own commit and preedit events.
#include <fcitx-utils/eventdispatcher.h>
#include <fcitx-utils/key.h>
#include <fcitx/addonmanager.h>
#include <fcitx/event.h>
#include <fcitx/inputcontext.h>
#include <fcitx/inputcontextmanager.h>
#include <fcitx/inputpanel.h>
#include <fcitx/instance.h>
#include <testfrontend_public.h>


#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QTemporaryDir>
#include <QTest>
#include <future>
#include <mutex>
#include <thread>

#include "app_test_support.h"
#include "spoken_dictation.h"

namespace {

constexpr int kWaitMs = SpokenDictation::kWaitMs;

// A Fcitx5 instance on its own thread, with two input contexts ("a" and "b").
class Fcitx {
 public:
  explicit Fcitx(const QString& data_dir) {
    // Only the addons named here, from the system's and the build's folders.
    qputenv("SKIP_FCITX_PATH", "1");
    qputenv("SKIP_FCITX_USER_PATH", "1");
    qputenv("FCITX_ADDON_DIRS", QByteArray(FCITX_SYSTEM_ADDON_DIR ":" ORVANE_FCITX5_MODULE_DIR));
    qputenv("FCITX_DATA_DIRS", data_dir.toUtf8());
    thread_ = std::thread([this] {
      char name[] = "fcitx5", disable[] = "--disable=all",
           enable[] = "--enable=testfrontend,testim,testui,orvane";
      char* argv[] = {name, disable, enable};
      fcitx::Instance instance(3, argv);
      instance.addonManager().registerDefaultLoader(nullptr);
      dispatcher_.attach(&instance.eventLoop());
      dispatcher_.schedule([this, &instance] { started(instance); });
      instance.exec();
    });
  }
  ~Fcitx() {
    run([this] { instance_->exit(); });
    thread_.join();
  }

  // Runs F on the instance's thread and waits for it.
  void run(std::function<void()> f) {
    std::promise<void> done;
    dispatcher_.schedule([&] {
      f();
      done.set_value();
    });
    done.get_future().wait();
  }
  bool ready() const { return ready_; }
  void focus(const char* field) {
    run([this, field] {
      if (focused_) focused_->focusOut();
      context(field)->focusIn();
    });
  }
  void escape() {
    run([this] {
      for (bool release : {false, true})
        frontend_->call<fcitx::ITestFrontend::keyEvent>(focused_->uuid(),
                                                        fcitx::Key(FcitxKey_Escape), release);
    });
  }
  QString committed(const QString& field) {
    std::lock_guard lock(mutex_);
    return committed_.value(field);
  }
  int preeditUpdates(const QString& field) {
    std::lock_guard lock(mutex_);
    return preedit_updates_.value(field);
  }
  QString preedit(const QString& field) {
    std::lock_guard lock(mutex_);
    return preedit_.value(field);
  }
  void clear() {
    std::lock_guard lock(mutex_);
    committed_.clear();
    preedit_updates_.clear();
  }

 private:
  void started(fcitx::Instance& instance) {
    instance_ = &instance;
    frontend_ = instance.addonManager().addon("testfrontend");
    for (const char* name : {"a", "b"}) {
      const auto uuid = frontend_->call<fcitx::ITestFrontend::createInputContext>(name);
      contexts_[name] = instance.inputContextManager().findByUUID(uuid);
      contexts_[name]->setCapabilityFlags(fcitx::CapabilityFlag::Preedit);  // as a text field
    }
    watchers_.push_back(instance.watchEvent(
        fcitx::EventType::InputContextCommitString, fcitx::EventWatcherPhase::Default,
        [this](fcitx::Event& e) {
          auto& commit = static_cast<fcitx::CommitStringEvent&>(e);
          std::lock_guard lock(mutex_);
          committed_[nameOf(commit.inputContext())] += QString::fromStdString(commit.text());
        }));
    watchers_.push_back(instance.watchEvent(
        fcitx::EventType::InputContextUpdatePreedit, fcitx::EventWatcherPhase::Default,
        [this](fcitx::Event& e) {
          fcitx::InputContext* ic = static_cast<fcitx::InputContextEvent&>(e).inputContext();
          std::lock_guard lock(mutex_);
          preedit_[nameOf(ic)] = QString::fromStdString(ic->inputPanel().clientPreedit().toString());
          preedit_updates_[nameOf(ic)]++;
        }));
    watchers_.push_back(instance.watchEvent(
        fcitx::EventType::InputContextFocusIn, fcitx::EventWatcherPhase::Default,
        [this](fcitx::Event& e) {
          focused_ = static_cast<fcitx::InputContextEvent&>(e).inputContext();
        }));
    ready_ = true;
  }
  fcitx::InputContext* context(const char* name) { return contexts_.at(name); }
  QString nameOf(fcitx::InputContext* ic) const {
    for (const auto& [name, context] : contexts_)
      if (context == ic) return QString::fromLatin1(name);
    return {};
  }

  fcitx::EventDispatcher dispatcher_;  // runs functions on the instance's thread
  std::thread thread_;
  std::atomic<bool> ready_ = false;
  fcitx::Instance* instance_ = nullptr;
  fcitx::AddonInstance* frontend_ = nullptr;
  std::map<std::string, fcitx::InputContext*> contexts_;
  fcitx::InputContext* focused_ = nullptr;
  std::vector<std::unique_ptr<fcitx::HandlerTableEntry<fcitx::EventHandler>>> watchers_;
  std::mutex mutex_;
  QHash<QString, QString> committed_, preedit_;
  QHash<QString, int> preedit_updates_;
};

// The files that name Fcitx5's test addons, which Debian ships without them.
bool writeAddonFiles(const QString& data_dir) {
  QDir().mkpath(data_dir + "/addon");
  const QList<std::pair<const char*, const char*>> addons = {
      {"testfrontend", "Frontend"}, {"testim", "InputMethod"}, {"testui", "UI"}};
  for (const auto& [name, category] : addons) {
    QFile file(data_dir + "/addon/" + name + ".conf");
    if (!file.open(QIODevice::WriteOnly)) return false;
    file.write(QStringLiteral("[Addon]\nName=%1\nCategory=%2\nLibrary=lib%1\nType=SharedLibrary\n"
                              "OnDemand=False\nConfigurable=False\n")
                   .arg(name, category)
                   .toUtf8());
  }
  return QFile::copy(ORVANE_FCITX5_MODULE_DIR "/addon/orvane.conf", data_dir + "/addon/orvane.conf");
}

}  // namespace

class Fcitx5Test : public QObject {
  Q_OBJECT

  QTemporaryDir dir_;
  SpokenDictation dictation_;
  std::unique_ptr<Fcitx> fcitx_;

  QString transcript() { return dictation_.state().liveText(); }
  void start() {
    dictation_.start([this] { fcitx_->clear(); });
    if (!QTest::currentTestFailed())
      QTRY_VERIFY_WITH_TIMEOUT(!fcitx_->preedit("a").isEmpty(), kWaitMs);
  }

 private slots:
  void initTestCase() {
    QVERIFY(dictation_.setUp("fcitx5_test"));
    QVERIFY(writeAddonFiles(dir_.path()));
    fcitx_ = std::make_unique<Fcitx>(dir_.path());
    QTRY_VERIFY_WITH_TIMEOUT(fcitx_->ready(), kWaitMs);
    fcitx_->focus("a");
    QTRY_VERIFY_WITH_TIMEOUT(dictation_.typing().inputMethods().ready(), kWaitMs);
  }

  void cleanupTestCase() {
    fcitx_.reset();
    dictation_.tearDown();
  }

  // Over whatever input method is on, the field shows the words as preedit while the speech
  // plays and gets the whole transcript.
  void fieldGetsTheTranscript() {
    start();
    dictation_.finish();
    QTRY_COMPARE_WITH_TIMEOUT(fcitx_->committed("a"), transcript(), kWaitMs);
    QCOMPARE(fcitx_->preedit("a"), QString());
    QVERIFY(fcitx_->preeditUpdates("a") > 1);
  }

  // Escape drops the words not yet committed; the rest of the dictation is not typed.
  void escapeDiscardsThePreedit() {
    start();
    fcitx_->escape();
    QCOMPARE(fcitx_->preedit("a"), QString());
    const QString before = fcitx_->committed("a");
    dictation_.finish();
    QCOMPARE(fcitx_->committed("a"), before);
    QVERIFY(transcript().startsWith(before) && transcript().size() > before.size());
  }

  // Focus moves to field b mid-dictation: a keeps what it showed, b gets nothing.
  void focusChangeCommitsWhatIsThere() {
    start();
    fcitx_->focus("b");
    const QString a = fcitx_->committed("a");
    dictation_.finish();
    QCOMPARE(fcitx_->committed("a"), a);
    QVERIFY2(!a.isEmpty() && transcript().startsWith(a),
             qPrintable(QStringLiteral("field a got \"%1\"").arg(a)));
    QCOMPARE(fcitx_->committed("b"), QString());
  }
};

ORVANE_AUDIO_QTEST_MAIN(QGuiApplication, Fcitx5Test)
#include "fcitx5_test.moc"
