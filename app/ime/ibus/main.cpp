// orvane-ibus-engine: Orvane's input method for IBus. It holds no model: the words come from the
// running orvane-app over its input-method socket. Started by ibus-daemon (--ibus) once the user
// picks the "orvane" input source, or by the session, in which case it registers the engine
// itself and switches to it for the length of each dictation.
#include <ibus.h>

#include <cstdio>
#include <cstring>

#include "app_link.h"
#include "orvane_ibus_engine.h"

namespace {

constexpr char kComponentName[] = "org.orvane.IBus.Orvane";

IBusComponent* component() {
  IBusComponent* c = ibus_component_new(kComponentName, "Orvane dictation", ORVANE_VERSION, "",
                                        "Orvane", "", "", "orvane");
  ibus_component_add_engine(
      c, ibus_engine_desc_new(orvane_ibus::kEngineName, "Orvane dictation",
                              "Words spoken to Orvane, typed where you type", "other", "", "Orvane",
                              "", "default"));
  return c;
}

}  // namespace

int main(int argc, char** argv) {
  const bool by_ibus = argc > 1 && std::strcmp(argv[1], "--ibus") == 0;
  if (argc > 1 && !by_ibus) {
    std::fputs("usage: orvane-ibus-engine [--ibus]\n", stderr);
    return 2;
  }
  ibus_init();
  IBusBus* bus = ibus_bus_new();
  if (!ibus_bus_is_connected(bus)) {
    std::fputs("orvane-ibus-engine: cannot reach the IBus daemon\n", stderr);
    return 1;
  }
  g_signal_connect(bus, "disconnected", G_CALLBACK(+[](IBusBus*, gpointer) { ibus_quit(); }),
                   nullptr);

  AppLink link([](std::string_view line) { orvane_ibus::handleLine(line); });
  orvane_ibus::init(bus, &link);
  IBusFactory* factory = ibus_factory_new(ibus_bus_get_connection(bus));
  ibus_factory_add_engine(factory, orvane_ibus::kEngineName, orvane_ibus::engineType());
  if (by_ibus) {
    ibus_bus_request_name(bus, kComponentName, 0);
  } else if (!ibus_bus_register_component(bus, component())) {
    std::fputs("orvane-ibus-engine: IBus refused the engine\n", stderr);
    return 1;
  }
  link.setSwitchable(true);
  link.start();
  ibus_main();
  return 0;
}
