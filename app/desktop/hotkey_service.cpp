#include "hotkey_service.h"

#include "portal_hotkey.h"
#include "x11_hotkey.h"

#include <QGuiApplication>
#include <cstdio>

namespace {

bool waylandSession() {
  return !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ||
         QGuiApplication::platformName() == QLatin1String("wayland");
}

}  // namespace

HotKeyService::HotKeyService(QObject* parent) : QObject(parent) {}

HotKeyService::~HotKeyService() = default;

void HotKeyService::registerHotKey() {
  unregisterHotKey();
  // Under Wayland an X11 grab would only see keys typed into other X11 programs: use the portal.
  if (waylandSession()) {
    portal_ = std::make_unique<PortalHotKey>([this] { press(); },
                                             [this](int held_ms) { release(held_ms); },
                                             [this](const QString& why) { setNotice(why); });
    portal_->start();
    return;
  }
  x11_ = std::make_unique<X11HotKey>([this] { press(); },
                                     [this](int held_ms) { release(held_ms); });
  switch (x11_->grab()) {
    case X11HotKey::Result::Grabbed:
      return;
    case X11HotKey::Result::Taken:
      x11_.reset();
      return setNotice(QStringLiteral("another program holds Alt+Space"));
    case X11HotKey::Result::NoDisplay:
      x11_.reset();
      return setNotice(QStringLiteral("this desktop offers no global shortcut"));
  }
}

void HotKeyService::unregisterHotKey() {
  x11_.reset();
  portal_.reset();
}

void HotKeyService::press() {
  if (onToggle) onToggle();
}

void HotKeyService::release(int held_ms) {
  if (onRelease) onRelease(held_ms);
}

void HotKeyService::setNotice(const QString& why) {
  notice_ = QStringLiteral(
                "Alt+Space is not available (%1). Bind a shortcut of your desktop to "
                "\"orvane-app --toggle\" instead.")
                .arg(why);
  std::fprintf(stderr, "orvane-app: %s\n", qPrintable(notice_));
  emit noticeChanged();
}
