#include "app_link.h"

#include <gio/gunixsocketaddress.h>
#include <unistd.h>

#include <cstdlib>
#include <sys/stat.h>

namespace {
constexpr guint kRetrySeconds = 1;
}

AppLink::AppLink(std::function<void(std::string_view)> on_line)
    : on_line_(std::move(on_line)), client_(g_socket_client_new()), cancel_(g_cancellable_new()) {}

AppLink::~AppLink() {
  g_cancellable_cancel(cancel_);
  if (retry_) g_source_remove(retry_);
  g_clear_object(&input_);
  g_clear_object(&connection_);
  g_object_unref(client_);
  g_object_unref(cancel_);
}

std::string AppLink::socketPath() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  struct stat st {};
  if (runtime && *runtime && stat(runtime, &st) == 0 && S_ISDIR(st.st_mode))
    return std::string(runtime) + "/orvane-input.sock";
  return "/tmp/orvane-input-" + std::to_string(getuid()) + ".sock";
}

void AppLink::start() {
  retry_ = 0;
  GSocketAddress* address = g_unix_socket_address_new(socketPath().c_str());
  g_socket_client_connect_async(client_, G_SOCKET_CONNECTABLE(address), cancel_, connected, this);
  g_object_unref(address);
}

void AppLink::connected(GObject* source, GAsyncResult* result, gpointer self) {
  GError* error = nullptr;
  GSocketConnection* connection =
      g_socket_client_connect_finish(G_SOCKET_CLIENT(source), result, &error);
  const bool cancelled = error && g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED);
  g_clear_error(&error);
  if (cancelled) return;  // the link is gone
  if (!connection) return static_cast<AppLink*>(self)->lost();
  auto* link = static_cast<AppLink*>(self);
  link->connection_ = connection;
  link->input_ = g_data_input_stream_new(g_io_stream_get_input_stream(G_IO_STREAM(connection)));
  link->sendState();
  link->readNext();
}

void AppLink::readNext() {
  g_data_input_stream_read_line_async(input_, G_PRIORITY_DEFAULT, cancel_, lineRead, this);
}

void AppLink::lineRead(GObject* source, GAsyncResult* result, gpointer self) {
  gsize length = 0;
  GError* error = nullptr;
  char* line = g_data_input_stream_read_line_finish(G_DATA_INPUT_STREAM(source), result, &length,
                                                    &error);
  const bool cancelled = error && g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED);
  g_clear_error(&error);
  if (cancelled) return;
  auto* link = static_cast<AppLink*>(self);
  if (!line) return link->lost();  // the app went away
  link->on_line_(std::string_view(line, length));
  g_free(line);
  link->readNext();
}

void AppLink::lost() {
  g_clear_object(&input_);
  g_clear_object(&connection_);
  if (!retry_)
    retry_ = g_timeout_add_seconds(kRetrySeconds, [](gpointer self) -> gboolean {
      static_cast<AppLink*>(self)->start();
      return G_SOURCE_REMOVE;
    }, this);
}

void AppLink::setActive(bool active) {
  if (active == active_) return;
  active_ = active;
  sendState();
}

void AppLink::setSwitchable(bool switchable) {
  if (switchable == switchable_) return;
  switchable_ = switchable;
  sendState();
}

void AppLink::sendState() {
  if (!connection_) return;
  const std::string lines = std::string("active ") + (active_ ? "1" : "0") + "\nswitchable " +
                            (switchable_ ? "1" : "0") + "\n";
  GOutputStream* out = g_io_stream_get_output_stream(G_IO_STREAM(connection_));
  // A few bytes to a local socket: written at once, or the link is broken and reading ends it.
  g_output_stream_write_all(out, lines.data(), lines.size(), nullptr, nullptr, nullptr);
}
