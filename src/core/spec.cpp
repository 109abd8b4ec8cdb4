// A one-rule rulebase from a field-extraction spec: literal and field
// segments become one rule line, the named types it uses are defined ahead of
// it, and annotations become annotate lines. The spec is checked strictly so
// that what is emitted loads back and reads the same in both engines.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "core/veldra.h"
#include "normalizer/json_text.h"
#include "normalizer/samp.h"

namespace {

constexpr size_t k_max_segments = 64;
constexpr size_t k_max_annotations = 32;
// The readiness check keys a rule by its tag and ":" in at most 63
// characters, so a tag holds at most 62.
constexpr size_t k_max_tag = 62;

enum : uint32_t {
  SPEC_DELIM = 1,
  SPEC_NAMED = 2,
  SPEC_NUMBER = 4,
  SPEC_STRDELIM = 8,
  SPEC_REPEAT = 16,
};

struct spec_type {
  const char *name;
  uint32_t flags;
  const char *const *defs;
  size_t n_defs;
};

const char *const k_priority_defs[] = {
    "type=@optional_priority:<%-:number{\"format\":\"number\"}%>",
    "type=@optional_priority:%{\"type\":\"literal\", \"text\":\"\"}%",
};
const char *const k_observer_pid_defs[] = {
    "type=@optional_observer_pid:%observer.name:char-to: [%%-:whitespace%%process.name:char-to:[%"
    "[%process.pid:number{\"format\":\"number\"}%]",
    "type=@optional_observer_pid:%process.name:char-to:[%[%process.pid:number{\"format\":"
    "\"number\"}%]",
};

const spec_type spec_types[] = {
    {"word", 0, nullptr, 0},
    {"alpha", 0, nullptr, 0},
    {"string", 0, nullptr, 0},
    {"rest", 0, nullptr, 0},
    {"char-to", SPEC_DELIM, nullptr, 0},
    {"char-sep", SPEC_DELIM, nullptr, 0},
    {"string-to", SPEC_STRDELIM, nullptr, 0},
    {"quoted-string", 0, nullptr, 0},
    {"number", SPEC_NUMBER, nullptr, 0},
    {"hexnumber", 0, nullptr, 0},
    {"float", 0, nullptr, 0},
    {"whitespace", 0, nullptr, 0},
    {"ipv4", 0, nullptr, 0},
    {"ipv6", 0, nullptr, 0},
    {"mac48", 0, nullptr, 0},
    {"date-rfc3164", 0, nullptr, 0},
    {"date-rfc5424", 0, nullptr, 0},
    {"date-iso", 0, nullptr, 0},
    {"time-24hr", 0, nullptr, 0},
    {"time-12hr", 0, nullptr, 0},
    {"duration", 0, nullptr, 0},
    {"kernel-timestamp", 0, nullptr, 0},
    {"json", 0, nullptr, 0},
    {"cef", 0, nullptr, 0},
    {"cee-syslog", 0, nullptr, 0},
    {"name-value-list", 0, nullptr, 0},
    {"v2-iptables", 0, nullptr, 0},
    {"checkpoint-lea", 0, nullptr, 0},
    {"cisco-interface-spec", 0, nullptr, 0},
    {"repeat", SPEC_REPEAT, nullptr, 0},
    {"@optional_priority", SPEC_NAMED, k_priority_defs, 2},
    {"@optional_observer_pid", SPEC_NAMED, k_observer_pid_defs, 2},
};
constexpr size_t k_n_types = sizeof spec_types / sizeof spec_types[0];

// One segment as checked; texts point into the parsed document.
struct spec_seg {
  int is_lit;
  const char *lit;
  const char *field;
  const char *type;
  char delim;
  const char *strdelim;
  fjson_object *repeat;
};

struct spec_ann {
  const char *key;
  const char *val;
};

// A refusal: the message, formatted into at most 511 bytes.
struct spec_error {
  std::string msg;
};

[[noreturn]] void fail(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void fail(const char *fmt, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  throw spec_error{buf};
}

struct json_ref {
  void operator()(fjson_object *o) const { fjson_object_put(o); }
};
using json_ptr = std::unique_ptr<fjson_object, json_ref>;

bool has_control(const char *s) {
  for (; *s; ++s)
    if (static_cast<unsigned char>(*s) < 32) return true;
  return false;
}

bool is_tag(const char *s) {
  size_t n = strlen(s);
  if (n < 1 || n > k_max_tag || s[0] < 'a' || s[0] > 'z') return false;
  for (size_t i = 0; i < n; ++i) {
    char c = s[i];
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_')) return false;
  }
  return true;
}

// The loader reads an annotate name as letters, digits, "_" and "." only.
bool is_annotate_name(const char *s) {
  if (!*s) return false;
  for (; *s; ++s) {
    char c = *s;
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
          c == '_' || c == '.'))
      return false;
  }
  return true;
}

bool name_ok(const char *name) {
  return strcmp(name, "-") == 0 || strcmp(name, ".") == 0 ||
         vdr_ecs_field_acceptable(name, nullptr);
}

const char *get_string(fjson_object *obj, const char *key, bool *present = nullptr) {
  fjson_object *v = nullptr;
  bool has = fjson_object_object_get_ex(obj, key, &v);
  if (present) *present = has;
  return has && fjson_object_is_type(v, fjson_type_string) ? fjson_object_get_string(v) : nullptr;
}

// True when some string in the document holds a zero byte (written "\u0000"):
// every later check and the emitted text would see it cut short there.
bool holds_zero_byte(fjson_object *o) {
  if (!o) return false;
  if (fjson_object_is_type(o, fjson_type_string))
    return strlen(fjson_object_get_string(o)) != static_cast<size_t>(fjson_object_get_string_len(o));
  if (fjson_object_is_type(o, fjson_type_array)) {
    const int n = fjson_object_array_length(o);
    for (int i = 0; i < n; ++i)
      if (holds_zero_byte(fjson_object_array_get_idx(o, i))) return true;
    return false;
  }
  if (!fjson_object_is_type(o, fjson_type_object)) return false;
  struct fjson_object_iterator it = fjson_object_iter_begin(o);
  struct fjson_object_iterator end = fjson_object_iter_end(o);
  for (; !fjson_object_iter_equal(&it, &end); fjson_object_iter_next(&it))
    if (holds_zero_byte(fjson_object_iter_peek_value(&it))) return true;
  return false;
}

// Every "name" inside a repeat descriptor must be a string and a name the
// rule may produce.
void check_repeat_names(fjson_object *o, size_t seg) {
  if (fjson_object_is_type(o, fjson_type_array)) {
    const int n = fjson_object_array_length(o);
    for (int i = 0; i < n; ++i) {
      fjson_object *e = fjson_object_array_get_idx(o, i);
      if (e) check_repeat_names(e, seg);
    }
    return;
  }
  if (!fjson_object_is_type(o, fjson_type_object)) return;
  struct fjson_object_iterator it = fjson_object_iter_begin(o);
  struct fjson_object_iterator end = fjson_object_iter_end(o);
  for (; !fjson_object_iter_equal(&it, &end); fjson_object_iter_next(&it)) {
    const char *key = fjson_object_iter_peek_name(&it);
    fjson_object *v = fjson_object_iter_peek_value(&it);
    if (strcmp(key, "name") == 0) {
      if (!v || !fjson_object_is_type(v, fjson_type_string))
        fail("segment %zu: repeat field names must be strings", seg);
      const char *name = fjson_object_get_string(v);
      if (!name_ok(name))
        fail("segment %zu: repeat field '%s' is not in ECS %s", seg, name,
             vdr_ecs_schema_version());
    } else if (v) {
      check_repeat_names(v, seg);
    }
  }
}

void check_repeat(fjson_object *seg_obj, size_t i, spec_seg &s) {
  fjson_object *rep = nullptr;
  if (!fjson_object_object_get_ex(seg_obj, "repeat", &rep) || !rep ||
      !fjson_object_is_type(rep, fjson_type_object))
    fail("segment %zu: repeat needs a repeat object with parser and while", i);
  fjson_object *parser = nullptr, *cond = nullptr;
  if (!fjson_object_object_get_ex(rep, "parser", &parser) ||
      !fjson_object_object_get_ex(rep, "while", &cond))
    fail("segment %zu: repeat.parser and repeat.while are required", i);
  for (fjson_object *d : {parser, cond})
    if (!d || !(fjson_object_is_type(d, fjson_type_object) ||
                fjson_object_is_type(d, fjson_type_array)))
      fail("segment %zu: repeat.parser and repeat.while must be field descriptors (object or "
           "array)",
           i);
  // The repeat object's members become the field's own parameters: any
  // other member (a "name" or "type" above all) would change the field.
  struct fjson_object_iterator it = fjson_object_iter_begin(rep);
  struct fjson_object_iterator end = fjson_object_iter_end(rep);
  for (; !fjson_object_iter_equal(&it, &end); fjson_object_iter_next(&it)) {
    const char *key = fjson_object_iter_peek_name(&it);
    if (strcmp(key, "parser") != 0 && strcmp(key, "while") != 0 &&
        strcmp(key, "option.permitMismatchInParser") != 0 &&
        strcmp(key, "option.failOnDuplicate") != 0)
      fail("segment %zu: repeat key '%s' is not parser, while or an option", i, key);
  }
  // A "%" in the descriptor text would end the field early, or leave it
  // open so that the rule swallows the next line.
  const char *text = fjson_object_to_json_string_ext(rep, FJSON_TO_STRING_PLAIN);
  if (!text) throw std::bad_alloc();
  if (strchr(text, '%')) fail("segment %zu: repeat cannot contain '%%' (that ends the field)", i);
  check_repeat_names(parser, i);
  check_repeat_names(cond, i);
  s.repeat = rep;
}

// Literal text as the loader reads it back: it unescapes backslash
// sequences, so each backslash is doubled.
void put_escaped(vdr_sb &sb, const char *s) {
  for (; *s; ++s) {
    if (*s == '\\') vdr_sb_putc(&sb, '\\');
    vdr_sb_putc(&sb, *s);
  }
}

// Loads the emitted text into a scratch walker context, as check will: the
// first problem the loader reports (an unknown type or a missing parameter
// inside a repeat descriptor, say) refuses the spec instead of shipping a
// rulebase that cannot load.
void check_loads(const std::string &rb) {
  struct sink {
    std::string first;
    static void cb(void *cookie, const char *msg, size_t len) {
      auto *s = static_cast<sink *>(cookie);
      if (s->first.empty()) s->first.assign(msg, len);
    }
  } errors;
  ln_ctx ctx = ln_initCtx();
  if (!ctx) throw std::bad_alloc();
  ln_setErrMsgCB(ctx, &sink::cb, &errors);
  // The version line is the reader's business, not a record: blank it out
  // so that line numbers stay as emitted.
  std::string text = rb;
  text.replace(0, 9, "#        ");
  const int r = ln_loadSamplesFromString(ctx, text.c_str());
  ln_exitCtx(ctx);
  if (r == 0 && errors.first.empty()) return;
  std::string why = errors.first.empty() ? "load failed" : errors.first;
  // Drop the "rulebase file NAME[LINE]: " prefix that names no real file.
  if (why.rfind("rulebase file ", 0) == 0) {
    size_t p = why.find("]: ");
    if (p != std::string::npos) why.erase(0, p + 3);
  }
  fail("the emitted rulebase does not load: %s", why.c_str());
}

std::string emit(const char *spec_json) {
  if (!spec_json || !*spec_json) fail("%s", "spec JSON is empty");
  const size_t len = strlen(spec_json);
  size_t used = 0;
  json_ptr doc(ln_json_parse_prefix(spec_json, len, &used));
  if (doc && strspn(spec_json + used, " \t\r\n") != len - used) doc.reset();
  if (!doc || !fjson_object_is_type(doc.get(), fjson_type_object))
    fail("%s", "spec is not a JSON object");
  fjson_object *root = doc.get();
  if (holds_zero_byte(root)) fail("%s", "spec holds a zero byte (\\u0000) in a string");

  const char *tag = get_string(root, "tag");
  if (!tag || !is_tag(tag))
    fail("tag must be lower snake_case (a-z, digit, underscore), 1 to %zu characters", k_max_tag);

  bool present = false;
  const char *format = get_string(root, "format", &present);
  if (present && !format) fail("%s", "format must be a string");
  if (format && strcmp(format, "text") != 0)
    fail("format %s is not in F v1 (text specs only; json mode comes later)", format);

  fjson_object *segs = nullptr;
  if (!fjson_object_object_get_ex(root, "segments", &segs) || !segs ||
      !fjson_object_is_type(segs, fjson_type_array))
    fail("%s", "spec has no segments array");
  const size_t n_segs = static_cast<size_t>(fjson_object_array_length(segs));
  if (n_segs == 0) fail("%s", "spec has no segments");
  if (n_segs > k_max_segments) fail("spec has more than %zu segments", k_max_segments);

  std::vector<spec_seg> seg(n_segs);
  std::vector<const spec_type *> seg_type(n_segs);
  bool after_rest = false;
  for (size_t i = 0; i < n_segs; ++i) {
    fjson_object *o = fjson_object_array_get_idx(segs, static_cast<int>(i));
    if (!o || !fjson_object_is_type(o, fjson_type_object))
      fail("segment %zu is not an object", i);
    if (after_rest) fail("segment %zu: rest must be the last segment", i);
    spec_seg &s = seg[i];
    s = spec_seg{};
    if (const char *lit = get_string(o, "literal")) {
      if (!*lit) fail("segment %zu: empty literal", i);
      if (strchr(lit, '%')) fail("segment %zu: literal cannot contain '%%' (that starts a field)", i);
      if (has_control(lit)) fail("segment %zu: literal has a control byte", i);
      s.is_lit = 1;
      s.lit = lit;
      continue;
    }
    const char *field = get_string(o, "field");
    if (!field || !*field) fail("segment %zu: field name is empty", i);
    const char *type = get_string(o, "type", &present);
    if (present && !type) fail("segment %zu: type must be a string", i);
    if (!type) type = "word";
    const spec_type *t = nullptr;
    for (const spec_type &row : spec_types)
      if (strcmp(row.name, type) == 0) t = &row;
    if (!t) fail("segment %zu: type '%s' is not a VaderAD/HARK parser type", i, type);
    if (!name_ok(field))
      fail("segment %zu: field '%s' is not in ECS %s", i, field, vdr_ecs_schema_version());
    const char *delim = get_string(o, "delim", &present);
    if (present && !delim) fail("segment %zu: delim must be a string", i);
    s.field = field;
    s.type = t->name;
    if (t->flags & SPEC_DELIM) {
      const unsigned char d = delim && *delim ? static_cast<unsigned char>(delim[0]) : ' ';
      if (d < 32 || d == '%' || d == ':')
        fail("segment %zu: %s delimiter cannot be '%%', ':', or a control byte", i, t->name);
      // The parser stops at one byte; a longer or non-ASCII text would be cut
      // to its first byte without a word.
      if ((delim && strlen(delim) > 1) || d > 127)
        fail("segment %zu: %s delimiter must be one ASCII character", i, t->name);
      s.delim = static_cast<char>(d);
    }
    if (t->flags & SPEC_STRDELIM) {
      if (!delim || strlen(delim) < 2)
        fail("segment %zu: string-to delimiter must be at least 2 characters (a one-character "
             "delimiter never matches on either engine)",
             i);
      if (strpbrk(delim, "%:") || has_control(delim))
        fail("segment %zu: string-to delimiter cannot contain '%%', ':', or a control byte", i);
      s.strdelim = delim;
    }
    if (t->flags & SPEC_REPEAT) check_repeat(o, i, s);
    seg_type[i] = t;
    if (strcmp(t->name, "rest") == 0) after_rest = true;
  }

  std::vector<spec_ann> anns;
  fjson_object *ann = nullptr;
  if (fjson_object_object_get_ex(root, "annotations", &ann)) {
    if (!ann || !fjson_object_is_type(ann, fjson_type_object))
      fail("%s", "annotations must be an object");
    if (fjson_object_object_length(ann) > static_cast<int>(k_max_annotations))
      fail("%s", "too many annotations");
    struct fjson_object_iterator it = fjson_object_iter_begin(ann);
    struct fjson_object_iterator end = fjson_object_iter_end(ann);
    for (; !fjson_object_iter_equal(&it, &end); fjson_object_iter_next(&it)) {
      const char *key = fjson_object_iter_peek_name(&it);
      fjson_object *v = fjson_object_iter_peek_value(&it);
      if (!vdr_ecs_field_acceptable(key, nullptr))
        fail("annotation key '%s' is not in ECS %s", key, vdr_ecs_schema_version());
      if (!is_annotate_name(key))
        fail("annotation key '%s' cannot be written (an annotate name holds letters, digits, "
             "'_' and '.' only)",
             key);
      if (!v || !fjson_object_is_type(v, fjson_type_string))
        fail("annotation '%s' value must be a string", key);
      const char *val = fjson_object_get_string(v);
      if (has_control(val)) fail("annotation '%s' value has a control byte", key);
      if (strchr(val, '"'))
        fail("annotation '%s' value cannot contain '\"' (an annotate value ends at the first "
             "double quote)",
             key);
      anns.push_back({key, val});
    }
  }

  vdr_sb sb;
  vdr_sb_init(&sb);
  struct sb_guard {
    vdr_sb *sb;
    ~sb_guard() { vdr_sb_free(sb); }
  } guard{&sb};
  vdr_sb_puts(&sb, "version=2\n");
  for (const spec_type &row : spec_types) {
    if (!(row.flags & SPEC_NAMED)) continue;
    bool used_here = false;
    for (size_t i = 0; i < n_segs && !used_here; ++i) used_here = seg_type[i] == &row;
    if (!used_here) continue;
    for (size_t d = 0; d < row.n_defs; ++d) {
      vdr_sb_puts(&sb, row.defs[d]);
      vdr_sb_putc(&sb, '\n');
    }
  }
  const size_t rule_start = sb.len;
  vdr_sb_printf(&sb, "rule=%s:", tag);
  for (size_t i = 0; i < n_segs; ++i) {
    const spec_seg &s = seg[i];
    const spec_type *t = seg_type[i];
    if (s.is_lit) {
      put_escaped(sb, s.lit);
    } else if (t->flags & SPEC_STRDELIM) {
      vdr_sb_printf(&sb, "%%%s:string-to:", s.field);
      put_escaped(sb, s.strdelim);
      vdr_sb_putc(&sb, '%');
    } else if (t->flags & SPEC_REPEAT) {
      vdr_sb_printf(&sb, "%%%s:repeat%s%%", s.field,
                    fjson_object_to_json_string_ext(s.repeat, FJSON_TO_STRING_PLAIN));
    } else if (t->flags & SPEC_DELIM) {
      vdr_sb_printf(&sb, "%%%s:%s:", s.field, t->name);
      const char d[2] = {s.delim, '\0'};
      put_escaped(sb, d);
      vdr_sb_putc(&sb, '%');
    } else if (t->flags & SPEC_NUMBER) {
      vdr_sb_printf(&sb, "%%%s:number{\"format\":\"number\"}%%", s.field);
    } else {
      vdr_sb_printf(&sb, "%%%s:%s%%", s.field, t->name);
    }
  }
  if (!sb.oom && sb.len - rule_start > LN_SAMP_MAX_RECORD)
    fail("the rule line is longer than %d bytes, which the loader refuses", LN_SAMP_MAX_RECORD);
  vdr_sb_putc(&sb, '\n');
  for (const spec_ann &a : anns) {
    if (has_control(a.val) || vdr_sb_printf(&sb, "annotate=%s:+%s=\"%s\"\n", tag, a.key, a.val))
      fail("annotation '%s' value could not be written", a.key);
  }
  if (sb.oom) fail("%s", "out of memory");
  std::string rb(sb.buf, sb.len);
  check_loads(rb);
  return rb;
}

} // namespace

int vdr_spec_emit(const char *spec_json, char **rulebase_out, char **errmsg) {
  if (rulebase_out) *rulebase_out = nullptr;
  if (errmsg) *errmsg = nullptr;
  try {
    std::string rb = emit(spec_json);
    if (rulebase_out) {
      *rulebase_out = vdr_strdup_checked(rb.c_str());
      if (!*rulebase_out) throw std::bad_alloc();
    }
    return 0;
  } catch (const spec_error &e) {
    if (errmsg) *errmsg = vdr_strdup_checked(e.msg.c_str());
  } catch (const std::bad_alloc &) {
    if (errmsg) *errmsg = vdr_strdup_checked("out of memory");
  }
  return -1;
}

char *vdr_spec_types_json(void) {
  vdr_sb sb;
  vdr_sb_init(&sb);
  vdr_sb_puts(&sb, "{\"types\":[");
  for (size_t i = 0; i < k_n_types; ++i) {
    const spec_type &t = spec_types[i];
    if (i) vdr_sb_putc(&sb, ',');
    vdr_sb_puts(&sb, "{\"name\":");
    vdr_sb_json_string(&sb, t.name);
    if (t.flags & SPEC_DELIM) vdr_sb_puts(&sb, ",\"delim\":true");
    if (t.flags & SPEC_STRDELIM) vdr_sb_puts(&sb, ",\"delim\":true,\"strdelim\":true");
    if (t.flags & SPEC_REPEAT) vdr_sb_puts(&sb, ",\"repeat\":true");
    if (t.flags & SPEC_NAMED) vdr_sb_puts(&sb, ",\"named\":true");
    vdr_sb_putc(&sb, '}');
  }
  vdr_sb_puts(&sb, "]}");
  return vdr_sb_release(&sb);
}
