// Vendor field names to ECS names: the built-in alias table (generated from
// data/ecs/aliases.csv at build time), lookups through an optional overlay
// document, the guess of an overlay's parser key from a file name, and the
// rewrite of a rulebase's field names with names kept unique per rule.
// Every text handed out is freed with vdr_free.
#pragma once

#include <cstddef>

#include <libfastjson/json.h>

// One row of the built-in table: a vendor field name ("srcip", or a nested
// path joined by "!" such as "event_data!TargetUserName") and its target.
struct vdr_ecs_alias_ent {
  const char *from;
  const char *to;
};

// The built-in table, sorted byte-wise by `from`.
size_t vdr_ecs_alias_rows(void);
const vdr_ecs_alias_ent *vdr_ecs_alias_row(size_t i);
// Target of `from` in the built-in table, or null.
const char *vdr_ecs_alias_builtin(const char *from);

// root["by_parser"][parser][var] when it is a string; null when any argument
// is null or empty, or var is "-", "." or "..".
const char *vdr_alias_lookup_parser(struct fjson_object *root, const char *parser,
                                    const char *var);
// The by_parser alias; else root["global"][var]; else the built-in row.
// root and parser may be null.
const char *vdr_alias_lookup(struct fjson_object *root, const char *parser, const char *var);

// The overlay text as a JSON object in *out (null for a null or empty text):
// 0, or -1 when the text is not one JSON object. Throws std::bad_alloc.
int vdr_alias_overlay_parse(const char *text, struct fjson_object **out);

// The first of stem, stem with "_" and "-" swapped, and stem with its "-ecs"
// or "_ecs" ending removed (or added) that is a key of the overlay's
// "by_parser"; null when there is none or the overlay does not parse.
char *vdr_ecs_guess_parser(const char *aliases_json, const char *stem);

// The rulebase with every field name it can map rewritten to an ECS name.
// Null when the overlay text is given but is not a JSON object, or when
// memory runs out. A null rulebase counts as empty; parser may be null.
char *vdr_ecs_translate(const char *rulebase, const char *aliases_json, const char *parser);
