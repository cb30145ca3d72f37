#include "orvane_ibus_engine.h"

#include <string>

#include "app_link.h"
#include "common/dictation_text.h"
#include "common/feed_line.h"

namespace {

struct OrvaneEngine {
  IBusEngine parent;
};
struct OrvaneEngineClass {
  IBusEngineClass parent;
};

// The process's one dictation, shown in whichever engine object has the focus.
struct State {
  IBusBus* bus = nullptr;
  AppLink* link = nullptr;
  DictationText text;
  IBusEngine* focused = nullptr;
  std::string held;  // words that came while no field of ours had the focus
  std::string switched_from;  // the input method to go back to after a dictation, if switched
};
State g_state;

void showPreedit(IBusEngine* engine) {
  const std::string& preedit = g_state.text.preedit();
  IBusText* text = ibus_text_new_from_string(preedit.c_str());
  const guint chars = static_cast<guint>(g_utf8_strlen(preedit.c_str(), -1));
  ibus_text_append_attribute(text, IBUS_ATTR_TYPE_UNDERLINE, IBUS_ATTR_UNDERLINE_SINGLE, 0,
                             static_cast<gint>(chars));
  // COMMIT: when the field loses focus, IBus commits the preedit into it, so nothing is lost and
  // nothing moves into the next field.
  ibus_engine_update_preedit_text_with_mode(engine, text, chars, !preedit.empty(),
                                            IBUS_ENGINE_PREEDIT_COMMIT);
}

void commit(IBusEngine* engine, const std::string& text) {
  if (!text.empty()) ibus_engine_commit_text(engine, ibus_text_new_from_string(text.c_str()));
}

void setFocused(IBusEngine* engine) {
  g_state.focused = engine;
  g_state.link->setActive(engine != nullptr);
}

void focusIn(IBusEngine* engine) {
  setFocused(engine);
  if (!g_state.text.typing()) return;
  commit(engine, g_state.text.add(g_state.held));
  g_state.held.clear();
  showPreedit(engine);
}

void focusOut(IBusEngine* engine) {
  if (g_state.focused != engine) return;
  // IBus commits the shown preedit itself; the rest of the dictation stays off this field and
  // off the next.
  if (g_state.text.typing()) g_state.text.stop();
  setFocused(nullptr);
}

gboolean processKey(IBusEngine* engine, guint keyval, guint, guint modifiers) {
  if (keyval != IBUS_KEY_Escape || !g_state.text.typing() || g_state.focused != engine)
    return FALSE;
  if (modifiers & IBUS_RELEASE_MASK) return TRUE;  // the press was ours, so is its release
  g_state.text.stop();
  showPreedit(engine);
  return TRUE;
}

// Asynchronous: the daemon asks this very process to create the engine before it answers.
void setGlobalEngine(const char* name) {
  ibus_bus_set_global_engine_async(g_state.bus, name, -1, nullptr, nullptr, nullptr);
}

void switchBack() {
  if (g_state.switched_from.empty()) return;
  setGlobalEngine(g_state.switched_from.c_str());
  g_state.switched_from.clear();
}

}  // namespace

G_DEFINE_TYPE(OrvaneEngine, orvane_engine, IBUS_TYPE_ENGINE)

static void orvane_engine_init(OrvaneEngine*) {}

static void orvane_engine_destroy(IBusObject* object) {
  if (g_state.focused == IBUS_ENGINE(object)) setFocused(nullptr);
  IBUS_OBJECT_CLASS(orvane_engine_parent_class)->destroy(object);
}

static void orvane_engine_class_init(OrvaneEngineClass* klass) {
  IBUS_OBJECT_CLASS(klass)->destroy = orvane_engine_destroy;
  IBusEngineClass* engine = IBUS_ENGINE_CLASS(klass);
  engine->focus_in = focusIn;
  engine->focus_out = focusOut;
  engine->enable = focusIn;  // enabled in a context means it has the focus
  engine->disable = focusOut;
  engine->process_key_event = processKey;
}

namespace orvane_ibus {

void init(IBusBus* bus, AppLink* link) {
  g_state.bus = bus;
  g_state.link = link;
}

GType engineType() { return orvane_engine_get_type(); }

void handleLine(std::string_view line) {
  const FeedLine parsed = parseFeedLine(line);
  switch (parsed.kind) {
    case FeedLine::Kind::Begin: {
      g_state.text.begin();
      g_state.held.clear();
      if (g_state.focused) break;
      // No field of ours has the focus: make this the session's input method for the dictation.
      IBusEngineDesc* current = ibus_bus_get_global_engine(g_state.bus);
      const char* name = current ? ibus_engine_desc_get_name(current) : nullptr;
      if (name && g_strcmp0(name, kEngineName) != 0) {
        setGlobalEngine(kEngineName);
        g_state.switched_from = name;
      }
      if (current) g_object_unref(current);
      break;
    }
    case FeedLine::Kind::Text: {
      if (!g_state.focused) {  // typed when a field of ours gets the focus
        if (g_state.text.typing()) g_state.held += parsed.text;
        break;
      }
      commit(g_state.focused, g_state.text.add(parsed.text));
      showPreedit(g_state.focused);
      break;
    }
    case FeedLine::Kind::End: {
      if (!g_state.focused) g_state.held.clear();  // no field took them: the clipboard has them
      const std::string rest = g_state.text.end();
      if (g_state.focused) {
        commit(g_state.focused, rest);
        showPreedit(g_state.focused);
      }
      switchBack();
      break;
    }
    case FeedLine::Kind::Unknown: break;
  }
}

}  // namespace orvane_ibus
