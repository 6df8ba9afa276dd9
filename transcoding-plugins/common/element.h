// Skeleton shared by the plain GstElement elements: registration, pad pairs, property flags.
#pragma once

#include <gst/gst.h>

#include <span>

// Readable, writable, construct-time, static strings (0xE7): every default is applied at
// construction.
inline constexpr GParamFlags kElementPropertyFlags = static_cast<GParamFlags>(
    G_PARAM_READWRITE | G_PARAM_CONSTRUCT | G_PARAM_STATIC_STRINGS);

// Creates the category once (no colour flags) if it does not exist yet, then registers the
// factory. Returns gst_element_register's result.
gboolean element_register(GstPlugin *plugin, const char *factory_name, guint rank, GType type,
                          GstDebugCategory **category, const char *category_name,
                          const char *category_description);

// Creates the category once if it does not exist yet.
void element_ensure_debug_category(GstDebugCategory **category, const char *name,
                                   const char *description);

// Calls every registration function in order, even after a failure, and returns TRUE only if
// all of them succeeded.
using ElementRegisterFunc = gboolean (*)(GstPlugin *);
gboolean element_register_all(GstPlugin *plugin, std::span<const ElementRegisterFunc> functions);

// A pad function together with the name it is registered under in the debug function-pointer
// registry.
template <typename F>
struct NamedFunc {
  F func = nullptr;
  const char *name = nullptr;
};
#define ELEMENT_FUNC(f) \
  { (f), #f }

struct PadPairSpec {
  GstStaticPadTemplate *sink_template;
  GstStaticPadTemplate *src_template;
  NamedFunc<GstPadChainFunction> chain;
  NamedFunc<GstPadEventFunction> sink_event;  // may be empty
  GstPadFlags sink_flags = static_cast<GstPadFlags>(0);
  GstPadFlags src_flags = static_cast<GstPadFlags>(0);
  // Installs element_pass_through_iterate_internal_links on both pads.
  bool pass_through = false;
};

struct PadPair {
  GstPad *sink = nullptr;  // owned by the element once added
  GstPad *src = nullptr;
};

// Creates "sink" then "src" from the templates, installs the functions and flags, and adds
// sink then src to the element.
PadPair element_create_pad_pair(GstElement *element, const PadPairSpec &spec);

// Internal links of a pass-through pair: the sink yields the src pad and the src the sink pad.
GstIterator *element_pass_through_iterate_internal_links(GstPad *pad, GstObject *parent);

// Installs the recurring `silent` property (id 1) for an element whose only property it is,
// together with set/get functions that keep it in the gboolean at `silent_offset` of the
// instance struct, under the object lock. The value is stored and reported, nothing more.
void element_class_install_silent_property(GObjectClass *klass, glong silent_offset);
