// Orvane's Fcitx5 module: works over whatever input method the user has, as the quick-phrase
// module does, so nothing needs switching. While a dictation runs, the words not yet complete
// show as underlined preedit in the focused field and complete words are committed; a focus
// change commits what the field shows and types nothing more of that dictation; Escape discards
// the words not yet committed. The words come from the running orvane-app over its input-method
// socket (the module holds no model).
#include <fcitx-utils/event.h>
#include <fcitx-utils/key.h>
#include <fcitx/addonfactory.h>
#include <fcitx/addoninstance.h>
#include <fcitx/addonmanager.h>
#include <fcitx/event.h>
#include <fcitx/inputcontext.h>
#include <fcitx/inputpanel.h>
#include <fcitx/instance.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/dictation_text.h"
#include "common/feed_line.h"

namespace {

constexpr uint64_t kRetryUsec = 1000000;  // how often the app is looked for while it is away

// The socket orvane-app listens on (the same rule as the app's).
std::string socketPath() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  struct stat st {};
  if (runtime && *runtime && stat(runtime, &st) == 0 && S_ISDIR(st.st_mode))
    return std::string(runtime) + "/orvane-input.sock";
  return "/tmp/orvane-input-" + std::to_string(getuid()) + ".sock";
}

class OrvaneModule : public fcitx::AddonInstance {
 public:
  explicit OrvaneModule(fcitx::Instance* instance) : instance_(instance) {
    using fcitx::EventType;
    using fcitx::EventWatcherPhase;
    watchers_.push_back(instance_->watchEvent(
        EventType::InputContextFocusIn, EventWatcherPhase::Default, [this](fcitx::Event& e) {
          focusIn(static_cast<fcitx::InputContextEvent&>(e).inputContext());
        }));
    watchers_.push_back(instance_->watchEvent(
        EventType::InputContextFocusOut, EventWatcherPhase::Default, [this](fcitx::Event& e) {
          focusOut(static_cast<fcitx::InputContextEvent&>(e).inputContext());
        }));
    watchers_.push_back(instance_->watchEvent(
        EventType::InputContextKeyEvent, EventWatcherPhase::PreInputMethod,
        [this](fcitx::Event& e) { key(static_cast<fcitx::KeyEvent&>(e)); }));
    connectToApp();
  }
  ~OrvaneModule() override { disconnect(); }

 private:
  fcitx::InputContext* focused() const { return focused_.get(); }

  void focusIn(fcitx::InputContext* ic) {
    focused_ = ic->watch();
    send(true);
    if (!text_.typing()) return;
    commit(text_.add(held_));
    held_.clear();
    showPreedit();
  }

  void focusOut(fcitx::InputContext* ic) {
    if (focused() != ic) return;
    if (text_.typing()) {
      // Fcitx commits the preedit the field shows on focus out itself: committing it here
      // too would type those words twice.
      text_.stop();
      showPreedit();
    }
    focused_.unwatch();
    send(false);
  }

  void key(fcitx::KeyEvent& event) {
    if (event.isRelease() || !event.key().check(FcitxKey_Escape) || !text_.typing() ||
        focused() != event.inputContext())
      return;
    text_.stop();
    showPreedit();
    event.filterAndAccept();
  }

  void commit(const std::string& text) {
    if (focused() && !text.empty()) focused()->commitString(text);
  }

  void showPreedit() {
    fcitx::InputContext* ic = focused();
    if (!ic) return;
    fcitx::Text preedit;
    if (!text_.preedit().empty()) {
      preedit.append(text_.preedit(), fcitx::TextFormatFlag::Underline);
      preedit.setCursor(static_cast<int>(text_.preedit().size()));
    }
    ic->inputPanel().setClientPreedit(preedit);
    ic->updatePreedit();
  }

  void handleLine(std::string_view line) {
    const FeedLine parsed = parseFeedLine(line);
    switch (parsed.kind) {
      case FeedLine::Kind::Begin:
        text_.begin();
        held_.clear();
        break;
      case FeedLine::Kind::Text:
        if (!focused()) {  // typed when a field gets the focus
          if (text_.typing()) held_ += parsed.text;
          break;
        }
        commit(text_.add(parsed.text));
        showPreedit();
        break;
      case FeedLine::Kind::End:
        held_.clear();
        commit(text_.end());
        showPreedit();
        break;
      case FeedLine::Kind::Unknown: break;
    }
  }

  // The link to orvane-app: a connection to its socket, made again every second while the app
  // is not there.
  void connectToApp() {
    const std::string path = socketPath();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0 || connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        fcntl(fd_, F_SETFL, O_NONBLOCK) != 0)
      return lost();
    reader_ = instance_->eventLoop().addIOEvent(
        fd_, {fcitx::IOEventFlag::In, fcitx::IOEventFlag::Err, fcitx::IOEventFlag::Hup},
        [this](fcitx::EventSourceIO*, int, fcitx::IOEventFlags) {
          read();
          return true;
        });
    send(focused() != nullptr);
  }

  void read() {
    char buffer[4096];
    for (;;) {
      const ssize_t got = ::read(fd_, buffer, sizeof buffer);
      if (got > 0) {
        input_.append(buffer, static_cast<size_t>(got));
        continue;
      }
      if (got < 0 && (errno == EAGAIN || errno == EINTR)) break;
      reader_->setEnabled(false);  // released by lost(), outside this callback
      return lost();  // the app went away
    }
    for (size_t end; (end = input_.find('\n')) != std::string::npos;) {
      handleLine(std::string_view(input_).substr(0, end));
      input_.erase(0, end + 1);
    }
  }

  void send(bool active) {
    if (fd_ < 0) return;
    const std::string lines = std::string("active ") + (active ? "1" : "0") + "\n";
    // A few bytes to a local socket: written at once, or the link is broken and reading ends it.
    [[maybe_unused]] const ssize_t written = ::write(fd_, lines.data(), lines.size());
  }

  void disconnect() {
    reader_.reset();
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    input_.clear();
  }

  // Drops the connection and tries again in a while; deferred, since it may be called from the
  // callback of a source it releases.
  void lost() {
    deferred_ = instance_->eventLoop().addDeferEvent([this](fcitx::EventSource*) {
      disconnect();
      retry_ = instance_->eventLoop().addTimeEvent(
          CLOCK_MONOTONIC, fcitx::now(CLOCK_MONOTONIC) + kRetryUsec, 0,
          [this](fcitx::EventSourceTime*, uint64_t) {
            connectToApp();
            return true;
          });
      return true;
    });
  }

  fcitx::Instance* instance_;
  std::vector<std::unique_ptr<fcitx::HandlerTableEntry<fcitx::EventHandler>>> watchers_;
  fcitx::TrackableObjectReference<fcitx::InputContext> focused_;
  DictationText text_;
  std::string held_;  // words that came while no field had the focus
  int fd_ = -1;
  std::string input_;
  std::unique_ptr<fcitx::EventSourceIO> reader_;
  std::unique_ptr<fcitx::EventSourceTime> retry_;
  std::unique_ptr<fcitx::EventSource> deferred_;
};

class OrvaneModuleFactory : public fcitx::AddonFactory {
  fcitx::AddonInstance* create(fcitx::AddonManager* manager) override {
    return new OrvaneModule(manager->instance());
  }
};

}  // namespace

FCITX_ADDON_FACTORY(OrvaneModuleFactory)
