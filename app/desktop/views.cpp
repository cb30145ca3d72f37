#include "views.h"

#include <QCursor>
#include <QGuiApplication>
#include <QIcon>
#include <QMenu>
#include <QMetaProperty>
#include <QQmlComponent>
#include <QScreen>
#include <algorithm>

namespace {

QIcon statusIconFile(const QString& name) {
  return QIcon(QStringLiteral(":/icons/%1.svg").arg(name));
}

}  // namespace

Views::Views(QObject* app_state, QObject* hot_key, QObject* clipboard, QObject* typing,
             QObject* history, QObject* parent)
    : QObject(parent), app_state_(app_state), typing_(typing), history_(history) {
  panel_ =
      createWindow("Panel.qml", {{QStringLiteral("appState"), QVariant::fromValue(app_state)},
                                 {QStringLiteral("hotKey"), QVariant::fromValue(hot_key)},
                                 {QStringLiteral("clipboard"), QVariant::fromValue(clipboard)},
                                 {QStringLiteral("typing"), QVariant::fromValue(typing)},
                                 {QStringLiteral("history"), QVariant::fromValue(history)}});
  if (panel_) {
    connect(panel_.get(), SIGNAL(settingsRequested()), this, SLOT(openSettings()));
    connect(panel_.get(), SIGNAL(quitRequested()), this, SIGNAL(quitRequested()));
  }
  if (!QSystemTrayIcon::isSystemTrayAvailable()) return;

  menu_ = std::make_unique<QMenu>();
  menu_->addAction(QStringLiteral("Settings..."), this, &Views::openSettings);
  menu_->addAction(QStringLiteral("Quit OrvaneApp"), this, &Views::quitRequested);
  tray_ = std::make_unique<QSystemTrayIcon>();
  tray_->setToolTip(QStringLiteral("Orvane"));
  tray_->setContextMenu(menu_.get());
  connect(tray_.get(), &QSystemTrayIcon::activated, this,
          [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
              togglePanel();
          });
  const QMetaObject* meta = app_state_->metaObject();
  const QMetaProperty icon = meta->property(meta->indexOfProperty("statusIcon"));
  connect(app_state_, icon.notifySignal(), this,
          metaObject()->method(metaObject()->indexOfSlot("updateIcon()")));
  updateIcon();
  tray_->show();
}

Views::~Views() { delete settings_.data(); }

std::unique_ptr<QQuickWindow> Views::createWindow(const char* file, const QVariantMap& properties) {
  QQmlComponent component(&engine_, QUrl(QStringLiteral("qrc:/qml/%1").arg(QLatin1String(file))));
  std::unique_ptr<QObject> object(component.createWithInitialProperties(properties));
  if (!qobject_cast<QQuickWindow*>(object.get())) {
    qWarning("orvane-app: cannot create %s: %s", file, qPrintable(component.errorString()));
    return nullptr;
  }
  QQmlEngine::setObjectOwnership(object.get(), QQmlEngine::CppOwnership);
  return std::unique_ptr<QQuickWindow>(static_cast<QQuickWindow*>(object.release()));
}

void Views::updateIcon() {
  if (tray_) tray_->setIcon(statusIconFile(app_state_->property("statusIcon").toString()));
}

void Views::showPanel(bool ordinary_window) {
  if (!panel_) return;
  const bool ordinary = ordinary_window || !tray_;
  panel_->setProperty("ordinaryWindow", ordinary);
  if (!ordinary) placePanelAtTray();
  panel_->show();
  panel_->raise();
  panel_->requestActivate();
}

void Views::togglePanel() {
  if (panel_ && panel_->isVisible() && !panel_->property("ordinaryWindow").toBool())
    panel_->hide();
  else
    showPanel();
}

void Views::placePanelAtTray() {
  const QRect icon = tray_->geometry();
  const QPoint anchor = icon.isValid() ? icon.center() : QCursor::pos();
  QScreen* screen = QGuiApplication::screenAt(anchor);
  if (!screen) screen = QGuiApplication::primaryScreen();
  const QRect area = screen->availableGeometry();
  const QSize size(panel_->width(), panel_->height());
  // Below an icon in the top half of the screen, above one in the bottom half.
  int y = anchor.y() < area.center().y()
              ? (icon.isValid() ? icon.bottom() : anchor.y()) + 4
              : (icon.isValid() ? icon.top() : anchor.y()) - size.height() - 4;
  int x = anchor.x() - size.width() / 2;
  x = std::clamp(x, area.left(), std::max(area.left(), area.right() - size.width()));
  y = std::clamp(y, area.top(), std::max(area.top(), area.bottom() - size.height()));
  panel_->setPosition(x, y);
}

void Views::openSettings() {
  if (!settings_) {
    settings_ = createWindow("Settings.qml",
                             {{QStringLiteral("appState"), QVariant::fromValue(app_state_)},
                              {QStringLiteral("modelFolder"), QVariant::fromValue(&model_folder_)},
                              {QStringLiteral("typing"), QVariant::fromValue(typing_)},
                              {QStringLiteral("preferences"), QVariant::fromValue(&preferences_)},
                              {QStringLiteral("history"), QVariant::fromValue(history_)}})
                    .release();
    if (!settings_) return;
    connect(settings_, &QWindow::visibleChanged, settings_,
            [window = settings_.data()](bool visible) {
              if (!visible)
                window->deleteLater();  // a fresh view, and a fresh status line, on each opening
            });
  }
  settings_->show();
  settings_->raise();
  settings_->requestActivate();
}
