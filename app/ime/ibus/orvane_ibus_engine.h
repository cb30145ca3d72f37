// The IBus engine "orvane": the focused field's input method while a dictation is typed into it.
// Words not yet complete show as underlined preedit text; complete words are committed. Keys
// pass through untouched (the user's own layout applies), except Escape during a dictation,
// which discards the words not yet committed.
#ifndef ORVANE_IME_ORVANE_IBUS_ENGINE_H
#define ORVANE_IME_ORVANE_IBUS_ENGINE_H

#include <ibus.h>

#include <string_view>

class AppLink;

namespace orvane_ibus {

// The engine's name in the component file and on the bus.
inline constexpr char kEngineName[] = "orvane";

// Called once, before the factory creates engines. BUS and LINK outlive every engine.
void init(IBusBus* bus, AppLink* link);
// One line from orvane-app ("begin", "text PIECE", "end").
void handleLine(std::string_view line);
// The GType the factory creates for each input context that uses the engine.
GType engineType();

}  // namespace orvane_ibus

#endif
