// Rulebase reader and loader: records, rules, types, annotations, rewrite
// lines, includes, prefixes, and the rule sample language that turns a rule
// text into field descriptors for the parse DAG.
#include "normalizer/samp.h"

#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "normalizer/annot.h"
#include "normalizer/json_text.h"
#include "normalizer/pdag.h"
#include "normalizer/rewrite.h"

namespace {

// Files being loaded right now, per context, to refuse include cycles.
struct LoadFrame {
  ln_ctx ctx;
  dev_t dev;
  ino_t ino;
};
thread_local std::vector<LoadFrame> g_loading;

struct LoadGuard {
  bool pushed = false;
  ~LoadGuard() {
    if (pushed) g_loading.pop_back();
  }
};

bool is_ws(char c) { return isspace(static_cast<unsigned char>(c)) != 0; }

int load_text(ln_ctx ctx, const char *file, const char *text, size_t len);

// Rules with the same tag list share one tag array (they are never changed
// once attached): most rulebases tag rule after rule alike, and an array per
// rule was the largest single cost of a loaded rule. The cache holds the tag
// list of the last tagged rule, for one context and one load.
struct TagCache {
  ln_ctx ctx = nullptr;
  std::string key;
  fjson_object *tags = nullptr;
};
thread_local TagCache g_tag_cache;

void drop_tag_cache() {
  if (g_tag_cache.tags) fjson_object_put(g_tag_cache.tags);
  g_tag_cache.tags = nullptr;
  g_tag_cache.ctx = nullptr;
  g_tag_cache.key.clear();
}

// Empties the cache when the outermost load of a context ends, however it
// ends.
struct TagCacheScope {
  ln_ctx ctx;
  ~TagCacheScope() {
    if (ctx->include_level <= 1) drop_tag_cache();
  }
};

// Copy of text[from, to) for messages; stops at the end of the text.
std::string cut(const char *text, size_t len, size_t from) {
  if (from >= len) return std::string();
  return std::string(text + from, len - from);
}

// Backslash unescaping of a run. The escape decoder may look one or two
// bytes past the end of the run (a trailing "\x"), so the buffer carries
// zero padding behind the text.
std::string unescape(const std::string &run) {
  if (run.find('\\') == std::string::npos) return run;
  es_str_t *s = es_newStr(static_cast<es_size_t>(run.size() + 8));
  if (s == nullptr) throw std::bad_alloc();
  if (es_addBuf(&s, run.data(), static_cast<es_size_t>(run.size())) != 0) {
    es_deleteStr(s);
    throw std::bad_alloc();
  }
  if (s->lenBuf >= s->lenStr + 8) memset(es_getBufAddr(s) + s->lenStr, 0, 8);
  es_unescapeStr(s);
  std::string out(reinterpret_cast<const char *>(es_getBufAddr(s)), es_strlen(s));
  es_deleteStr(s);
  return out;
}

FILE *open_rulebase(ln_ctx ctx, const char *file, bool report) {
  FILE *fp = fopen(file, "r");
  if (fp != nullptr) return fp;
  const int eno = errno;
  const char *env = getenv("VELDRA_RULEBASES");
  if (env == nullptr || file[0] == '/') {
    if (report) ln_errprintf(ctx, eno, "cannot open rulebase '%s'", file);
    return nullptr;
  }
  std::string joined;
  try {
    const size_t el = strlen(env);
    joined = env;
    if (el == 0 || env[el - 1] != '/') joined += '/';
    joined += file;
  } catch (const std::bad_alloc &) {
    if (report) ln_errprintf(ctx, 0, "alloc error: cannot open rulebase '%s'", file);
    return nullptr;
  }
  fp = fopen(joined.c_str(), "r");
  if (fp != nullptr) return fp;
  if (report) {
    ln_errprintf(ctx, eno, "cannot open rulebase '%s'", file);
    ln_errprintf(ctx, 0,
                 "also tried to locate %s via rulebase directory without success. Expanded name "
                 "was '%s'",
                 file, joined.c_str());
  }
  return nullptr;
}

// Identity of the file a rulebase name resolves to; false when it does not open.
bool identify(ln_ctx ctx, const char *file, dev_t *dev, ino_t *ino) {
  FILE *fp = open_rulebase(ctx, file, false);
  if (fp == nullptr) return false;
  struct stat st;
  const bool ok = fstat(fileno(fp), &st) == 0;
  fclose(fp);
  if (!ok) return false;
  *dev = st.st_dev;
  *ino = st.st_ino;
  return true;
}

int process_input(ln_ctx ctx, ln_samp_input *in) {
  int isEof = 0;
  while (!isEof) {
    const int r = ln_sampRead(ctx, in, &isEof);
    if (r != 0) return r;
  }
  return 0;
}

// Looks past the line feed just read: skips comment and empty lines and
// tells whether the next line begins with "rule=". The result holds for
// every line start inside the skipped block, so it is cached: a block of
// comment lines pulled into an open field is scanned once, not once per line.
bool next_line_is_rule(ln_samp_input *in) {
  if (in->pos >= in->la_from && in->pos <= in->la_to) return in->la_result != 0;
  size_t p = in->pos;
  while (p < in->len) {
    const char c = in->buf[p];
    if (c == '#') {
      const void *nl = memchr(in->buf + p, '\n', in->len - p);
      p = nl ? static_cast<size_t>(static_cast<const char *>(nl) - in->buf) + 1 : in->len;
      continue;
    }
    if (c == '\n') {
      ++p;
      continue;
    }
    break;
  }
  in->la_from = in->pos;
  in->la_to = p;
  in->la_result = in->len - p >= 5 && memcmp(in->buf + p, "rule=", 5) == 0;
  return in->la_result != 0;
}

fjson_object *new_literal_descriptor(char c) {
  fjson_object *d = fjson_object_new_object();
  fjson_object *t = fjson_object_new_string("literal");
  fjson_object *x = fjson_object_new_string_len(&c, 1);
  if (d == nullptr || t == nullptr || x == nullptr) {
    if (d) fjson_object_put(d);
    if (t) fjson_object_put(t);
    if (x) fjson_object_put(x);
    return nullptr;
  }
  fjson_object_object_add(d, "type", t);
  fjson_object_object_add(d, "text", x);
  return d;
}

// One field descriptor starting at text[*pos] == '%'.
int parse_field(ln_ctx ctx, const char *text, size_t len, size_t *pos, struct ln_pdag **node) {
  const size_t start = *pos;
  size_t i = start + 1;
  while (i < len && is_ws(text[i])) ++i;
  if (i < len && (text[i] == '{' || text[i] == '[')) {
    size_t used = 0;
    fjson_object *json = ln_json_parse_prefix(text + i, len - i, &used);
    if (json == nullptr || i + used >= len || text[i + used] != '%') {
      if (json) fjson_object_put(json);
      ln_errprintf(ctx, 0, "invalid json in '%s'", cut(text, len, i + used).c_str());
      return -1;
    }
    *pos = i + used + 1;
    return ln_pdagAddParser(ctx, node, json);
  }

  const size_t nameStart = i;
  while (i < len && text[i] != ':') {
    if (i - nameStart >= 1023) {
      ln_errprintf(ctx, 0, "field name too long in: %s", cut(text, len, start).c_str());
      return -1;
    }
    ++i;
  }
  if (i >= len) {
    ln_errprintf(ctx, 0, "field definition wrong in: %s", cut(text, len, start).c_str());
    return -1;
  }
  if (i - nameStart >= 1023) {
    ln_errprintf(ctx, 0, "field name too long in: %s", cut(text, len, start).c_str());
    return -1;
  }
  if (i == nameStart) {
    ln_errprintf(ctx, 0, "field name missing in: %s", cut(text, len, start).c_str());
    return -1;
  }
  const std::string name(text + nameStart, i - nameStart);
  if (ctx->debug) ln_dbgprintf(ctx, "parsed field: '%s'", name.c_str());
  ++i;
  const size_t typeStart = i;
  while (i < len && text[i] != '%' && text[i] != ':' && text[i] != '{') ++i;
  if (i >= len) {
    ln_errprintf(ctx, 0, "premature end (missing %%?) in: %s", cut(text, len, start).c_str());
    return -1;
  }
  size_t typeEnd = i;
  while (typeEnd > typeStart && is_ws(text[typeEnd - 1])) --typeEnd;
  const std::string type(text + typeStart, typeEnd - typeStart);
  if (ctx->debug) ln_dbgprintf(ctx, "field type '%s', i %d", type.c_str(), static_cast<int>(i));

  fjson_object *params = nullptr;
  if (text[i] == '{') {
    size_t used = 0;
    params = ln_json_parse_prefix(text + i, len - i, &used);
    if (params == nullptr)
      ln_errprintf(ctx, 0, "invalid json in '%s'", cut(text, len, i + used).c_str());
    i += used;
  }
  bool haveExtra = false;
  std::string extra;
  if (i < len && text[i] == '%') {
    ++i;
  } else if (i < len) {
    ++i; // normally the ':' before the extra data
    const size_t exStart = i;
    while (i < len && text[i] != '%') ++i;
    extra = unescape(std::string(text + exStart, i - exStart));
    haveExtra = true;
    if (i < len) ++i;
    if (ctx->debug) ln_dbgprintf(ctx, "parsed extra data: '%s'", extra.c_str());
  }
  *pos = i;

  fjson_object *d = fjson_object_new_object();
  if (d == nullptr) {
    if (params) fjson_object_put(params);
    return LN_RC_NO_MEMORY;
  }
  fjson_object_object_add(d, "name", fjson_object_new_string_len(name.data(), static_cast<int>(name.size())));
  fjson_object_object_add(d, "type", fjson_object_new_string_len(type.data(), static_cast<int>(type.size())));
  if (haveExtra)
    fjson_object_object_add(d, "extradata",
                            fjson_object_new_string_len(extra.data(), static_cast<int>(extra.size())));
  if (params != nullptr) {
    if (fjson_object_is_type(params, fjson_type_object)) {
      struct fjson_object_iterator it = fjson_object_iter_begin(params);
      struct fjson_object_iterator end = fjson_object_iter_end(params);
      while (!fjson_object_iter_equal(&it, &end)) {
        fjson_object_object_add(d, fjson_object_iter_peek_name(&it),
                                fjson_object_get(fjson_object_iter_peek_value(&it)));
        fjson_object_iter_next(&it);
      }
    }
    fjson_object_put(params);
  }
  return ln_pdagAddParser(ctx, node, d);
}

int process_rule(ln_ctx ctx, const char *value, size_t vlen) {
  ln_dbgprintf(ctx, "rule line to add: '%s'", value);
  if (vlen == 0) {
    ln_errprintf(ctx, 0, "rule record is empty (expected tags, ':' and a sample)");
    return -1;
  }
  if (value[0] == ',') {
    ln_errprintf(ctx, 0, "rule tag list begins with ',': '%s'", value);
    return -1;
  }
  fjson_object *tags = nullptr;
  auto addTag = [&](size_t from, size_t to) -> bool {
    if (to <= from) return true;
    if (tags == nullptr && (tags = fjson_object_new_array()) == nullptr) return false;
    const std::string tag(value + from, to - from);
    ln_dbgprintf(ctx, "tag found: '%s'", tag.c_str());
    fjson_object *s = fjson_object_new_string_len(tag.data(), static_cast<int>(tag.size()));
    if (s == nullptr) return false;
    fjson_object_array_add(tags, s);
    return true;
  };
  size_t i = 0, tagStart = 0;
  bool ok = true;
  while (ok && i < vlen && value[i] != ':') {
    if (value[i] == ',') {
      ok = addTag(tagStart, i);
      tagStart = i + 1;
    }
    ++i;
  }
  size_t sampleStart = 0; // no ':' at all: the whole value is the sample
  if (ok && i < vlen) {
    ok = addTag(tagStart, i);
    sampleStart = i + 1;
  }
  if (!ok) {
    if (tags) fjson_object_put(tags);
    return LN_RC_NO_MEMORY;
  }
  if (tags != nullptr && sampleStart > 0) {
    const std::string_view key(value, sampleStart - 1);
    if (g_tag_cache.tags != nullptr && g_tag_cache.ctx == ctx && g_tag_cache.key == key) {
      fjson_object_put(tags);
      tags = fjson_object_get(g_tag_cache.tags);
    } else {
      drop_tag_cache();
      g_tag_cache.key.assign(key);
      g_tag_cache.ctx = ctx;
      g_tag_cache.tags = fjson_object_get(tags);
    }
  }
  if (sampleStart >= vlen) {
    ln_errprintf(ctx, 0, "error: actual message sample part is missing");
    if (tags) fjson_object_put(tags);
    return 0;
  }
  std::string text;
  if (ctx->rulePrefix)
    text.assign(reinterpret_cast<const char *>(es_getBufAddr(ctx->rulePrefix)), es_strlen(ctx->rulePrefix));
  text.append(value + sampleStart, vlen - sampleStart);
  return ln_sampAddToDAG(ctx, ctx->pdag, text.c_str(), text.size(), tags);
}

int process_type(ln_ctx ctx, const char *value, size_t vlen) {
  ln_dbgprintf(ctx, "type line to add: '%s'", value);
  if (vlen == 0 || value[0] != '@') {
    ln_errprintf(ctx, 0, "user-defined type name must start with '@'");
    return -1;
  }
  size_t i = 0;
  while (i < vlen && value[i] != ':') {
    if (is_ws(value[i])) {
      ln_errprintf(ctx, 0, "user-defined type name must not contain whitespace");
      return -1;
    }
    if (i >= 1022) {
      ln_errprintf(ctx, 0, "user-defined type name is too long (1023 bytes or more)");
      return -1;
    }
    ++i;
  }
  if (i >= vlen) {
    ln_errprintf(ctx, 0, "user-defined type '%s' needs ':' and a sample after its name", value);
    return -1;
  }
  const std::string name(value, i);
  ln_dbgprintf(ctx, "type name is '%s'", name.c_str());
  if (i + 1 >= vlen) {
    ln_errprintf(ctx, 0, "error: actual message sample part is missing in type def");
    return 0;
  }
  const int idx = ln_pdagFindType(ctx, name.c_str(), 1);
  if (idx < 0) return LN_RC_NO_MEMORY;
  const std::string sample(value + i + 1, vlen - i - 1);
  return ln_sampAddToDAG(ctx, ctx->type_pdags[idx].pdag, sample.c_str(), sample.size(), nullptr);
}

bool is_annot_name_char(char c) {
  return isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '.';
}

int process_annotate(ln_ctx ctx, const char *value, size_t vlen) {
  ln_dbgprintf(ctx, "sample annotation to add: '%s'", value);
  size_t i = 0;
  while (i < vlen && is_annot_name_char(value[i])) ++i;
  const size_t tagLen = i;
  while (i < vlen && is_ws(value[i])) ++i;
  if (tagLen == 0 || i >= vlen || value[i] != ':') {
    ln_errprintf(ctx, 0, "invalid tag field in annotation, line is '%s'", value);
    return -1;
  }
  ++i;
  es_str_t *tag = es_newStrFromCStr(value, static_cast<es_size_t>(tagLen));
  if (tag == nullptr) return LN_RC_NO_MEMORY;
  ln_annot *annot = ln_newAnnot(tag);
  if (annot == nullptr) {
    es_deleteStr(tag);
    return LN_RC_NO_MEMORY;
  }
  for (;;) {
    while (i < vlen && is_ws(value[i])) ++i;
    if (i >= vlen) break;
    const char c = value[i];
    if (c == '#') {
      ln_dbgprintf(ctx, "inline comment in 'annotate' line: %s", value + i);
      break;
    }
    if (c != '+') {
      if (c == '-') ln_dbgprintf(ctx, "annotate op '-' not yet implemented - failing");
      ln_errprintf(ctx, 0, "invalid annotate operation '%c': %s", c, value + i);
      ln_deleteAnnot(annot);
      return -1;
    }
    const size_t opStart = i;
    ++i;
    const size_t nameStart = i;
    while (i < vlen && is_annot_name_char(value[i])) ++i;
    const size_t nameEnd = i;
    if (i >= vlen || value[i] != '=') {
      ln_errprintf(ctx, 0, "invalid annotate operation, expected +name=\"value\": %s",
                   value + opStart);
      ln_deleteAnnot(annot);
      return -1;
    }
    ++i;
    while (i < vlen && is_ws(value[i])) ++i;
    if (i >= vlen || value[i] != '"') {
      ln_errprintf(ctx, 0, "invalid annotate operation, expected +name=\"value\": %s",
                   value + opStart);
      ln_deleteAnnot(annot);
      return -1;
    }
    ++i;
    const size_t valStart = i;
    while (i < vlen && value[i] != '"') ++i;
    const size_t valEnd = i;
    if (i < vlen) ++i;
    es_str_t *name = es_newStrFromCStr(value + nameStart, static_cast<es_size_t>(nameEnd - nameStart));
    es_str_t *val = es_newStrFromCStr(value + valStart, static_cast<es_size_t>(valEnd - valStart));
    if (name == nullptr || val == nullptr || ln_addAnnotOp(annot, ln_annot_ADD, name, val) != 0) {
      if (name) es_deleteStr(name);
      if (val) es_deleteStr(val);
      ln_deleteAnnot(annot);
      return LN_RC_NO_MEMORY;
    }
  }
  if (ln_addAnnotToSet(ctx->pas, annot) != 0) {
    ln_deleteAnnot(annot);
    return -1;
  }
  return 0;
}

int process_include(ln_ctx ctx, const char *value, size_t vlen) {
  size_t n = vlen;
  for (size_t j = 1; j < vlen; ++j)
    if (is_ws(value[j])) {
      n = j;
      break;
    }
  const std::string name(value, n);
  if (ctx->include_level >= LN_SAMP_MAX_INCLUDE_DEPTH) {
    ln_errprintf(ctx, 0, "include nesting deeper than %d levels, not including '%s'",
                 LN_SAMP_MAX_INCLUDE_DEPTH, name.c_str());
    return 1;
  }
  dev_t dev;
  ino_t ino;
  if (!name.empty() && identify(ctx, name.c_str(), &dev, &ino)) {
    for (const LoadFrame &f : g_loading)
      if (f.ctx == ctx && f.dev == dev && f.ino == ino) {
        ln_errprintf(ctx, 0, "include cycle: rulebase '%s' is already being loaded", name.c_str());
        return 1;
      }
  }
  char *savedFile = ctx->conf_file;
  const uint32_t savedLine = ctx->conf_ln_nbr;
  const int r = ln_loadSamples(ctx, name.c_str());
  ctx->conf_file = savedFile;
  ctx->conf_ln_nbr = savedLine;
  return r;
}

int set_prefix(ln_ctx ctx, const char *value, size_t vlen, bool extend) {
  if (!extend || ctx->rulePrefix == nullptr) {
    es_str_t *s = es_newStrFromCStr(value, static_cast<es_size_t>(vlen));
    if (s == nullptr) return LN_RC_NO_MEMORY;
    if (ctx->rulePrefix) es_deleteStr(ctx->rulePrefix);
    ctx->rulePrefix = s;
    return 0;
  }
  return es_addBuf(&ctx->rulePrefix, value, static_cast<es_size_t>(vlen)) == 0 ? 0 : LN_RC_NO_MEMORY;
}

} // namespace

int ln_sampAddToDAG(ln_ctx ctx, struct ln_pdag *root, const char *text, size_t len,
                    struct fjson_object *tags) {
  struct ln_pdag *node = root;
  size_t i = 0;
  int r = 0;
  try {
    while (i < len) {
      std::string run;
      while (i < len) {
        if (text[i] == '%') {
          if (i + 1 < len && text[i + 1] == '%') {
            run += '%';
            i += 2;
            continue;
          }
          if (i + 1 == len) { // a lone '%' at the very end is dropped
            ++i;
            break;
          }
          break;
        }
        run += text[i++];
      }
      if (!run.empty()) {
        const std::string lit = unescape(run);
        if (ctx->debug) ln_dbgprintf(ctx, "parsed literal: '%s'", lit.c_str());
        for (char c : lit) {
          fjson_object *d = new_literal_descriptor(c);
          if (d == nullptr) {
            r = LN_RC_NO_MEMORY;
            break;
          }
          r = ln_pdagAddParser(ctx, &node, d);
          if (r != 0) break;
        }
        if (r != 0) break;
      }
      if (i >= len) break;
      r = parse_field(ctx, text, len, &i, &node);
      if (r != 0) break;
    }
  } catch (const std::bad_alloc &) {
    r = LN_RC_NO_MEMORY;
  }
  if (r != 0) {
    if (tags) fjson_object_put(tags);
    return r;
  }
  node->flags.isTerminal = 1;
  if (node->tags) fjson_object_put(node->tags);
  node->tags = tags;
  free(node->rb_file);
  node->rb_file = ctx->conf_file ? strdup(ctx->conf_file) : nullptr;
  node->rb_lineno = ctx->conf_ln_nbr;
  ln_dbgprintf(ctx, "end addSampToTree %zu of %d", i, static_cast<int>(len));
  return 0;
}

int ln_sampProcessRecord(ln_ctx ctx, const char *rec, size_t len) {
  ln_dbgprintf(ctx, "read rulebase line[~%d]: '%s'", static_cast<int>(ctx->conf_ln_nbr), rec);
  if (len == 0) return 0;
  if (rec[0] == '=') {
    ln_errprintf(ctx, 0, "record has no type before '=': '%s'", rec);
    return -1;
  }
  const void *eq = memchr(rec, '=', len);
  const size_t typeLen = eq ? static_cast<size_t>(static_cast<const char *>(eq) - rec) : len;
  const size_t valOff = eq ? typeLen + 1 : len;
  const std::string type(rec, typeLen);
  const char *value = rec + valOff;
  const size_t vlen = len - valOff;
  if (type == "prefix") return set_prefix(ctx, value, vlen, false);
  if (type == "extendprefix") return set_prefix(ctx, value, vlen, true);
  if (type == "rule") return process_rule(ctx, value, vlen);
  if (type == "type") return process_type(ctx, value, vlen);
  if (type == "annotate") return process_annotate(ctx, value, vlen);
  if (type == "rewrite") return ln_rewrite_add_line(ctx, rec, len, valOff);
  if (type == "include") return process_include(ctx, value, vlen);
  ln_errprintf(ctx, 0, "invalid record type detected: '%s'", type.c_str());
  return 0;
}

int ln_sampRead(ln_ctx ctx, struct ln_samp_input *in, int *isEof) {
  try {
    std::string rec;
    unsigned pct = 0;
    for (;;) {
      if (in->pos >= in->len) {
        *isEof = 1;
        break;
      }
      const char c = in->buf[in->pos++];
      // A carriage return right before a line feed belongs to the line end
      // (CRLF files), as it does for the samples.
      if (c == '\r' && in->pos < in->len && in->buf[in->pos] == '\n') continue;
      if (c == '\n') {
        ++ctx->conf_ln_nbr;
        if (rec.empty()) continue;
        if (pct & 1u) { // a field descriptor is open: the record goes on
          if (in->isFile && next_line_is_rule(in)) {
            ln_errprintf(ctx, 0,
                         "line has 'rule=' at begin of line, which does look like a typo in the "
                         "previous lines (unmatched %% character) and is forbidden. If valid, "
                         "please re-format the rule to start with other characters. Rule "
                         "ignored.");
            rec.clear();
            pct = 0;
          }
          continue;
        }
        break;
      }
      if (c == '#' && rec.empty()) {
        const void *nl = memchr(in->buf + in->pos, '\n', in->len - in->pos);
        if (nl != nullptr) {
          in->pos = static_cast<size_t>(static_cast<const char *>(nl) - in->buf) + 1;
          ++ctx->conf_ln_nbr;
        } else {
          in->pos = in->len;
        }
        continue;
      }
      if (rec.size() >= LN_SAMP_MAX_RECORD) {
        // Report the line being read, then go on with the rest of it.
        ++ctx->conf_ln_nbr;
        ln_errprintf(ctx, 0, "line is too long");
        --ctx->conf_ln_nbr;
        --in->pos;
        return 0;
      }
      if (c == '%') ++pct;
      rec.push_back(c);
    }
    if (rec.empty()) return 0;
    const unsigned long before = ln_errCount();
    const int r = ln_sampProcessRecord(ctx, rec.c_str(), rec.size());
    // Every failing record says why; one that failed without a word of its
    // own is named here, so no load fails silently.
    if (r != 0 && ln_errCount() == before) {
      if (r == LN_RC_NO_MEMORY)
        ln_errprintf(ctx, 0, "out of memory loading the record '%s'", rec.c_str());
      else
        ln_errprintf(ctx, 0, "the record could not be loaded (error %d): '%s'", r, rec.c_str());
    }
    return r;
  } catch (const std::bad_alloc &) {
    return LN_RC_NO_MEMORY;
  }
}

int ln_sampLoad(ln_ctx ctx, const char *file) {
  ln_dbgprintf(ctx, "loading rulebase file '%s'", file);
  // Closed on every way out, an allocation failure while reading included.
  std::unique_ptr<FILE, int (*)(FILE *)> fp(open_rulebase(ctx, file, true), &fclose);
  if (fp == nullptr) return 1;
  LoadGuard guard;
  struct stat st;
  if (fstat(fileno(fp.get()), &st) == 0) {
    g_loading.push_back({ctx, st.st_dev, st.st_ino});
    guard.pushed = true;
  }
  std::string data;
  // On the heap: this frame stays live while nested includes load.
  std::vector<char> chunk(65536);
  bool readErr = false, tooBig = false;
  int readErrno = 0;
  for (;;) {
    const size_t n = fread(chunk.data(), 1, chunk.size(), fp.get());
    if (n > 0) {
      if (data.size() + n > LN_SAMP_MAX_FILE_SIZE) {
        tooBig = true;
        break;
      }
      data.append(chunk.data(), n);
    }
    if (n < chunk.size()) {
      if (ferror(fp.get())) {
        readErr = true;
        readErrno = errno;
      }
      break;
    }
  }
  fp.reset();
  if (tooBig) {
    ln_errprintf(ctx, 0, "rulebase '%s' is larger than %u bytes, not loaded", file,
                 static_cast<unsigned>(LN_SAMP_MAX_FILE_SIZE));
    return 1;
  }

  if (readErr) {
    ln_dbgprintf(ctx, "rulebase version is %d\n", -1);
    ln_errprintf(ctx, readErrno, "error determining version of %s", file);
    return 1;
  }
  return load_text(ctx, file, data.data(), data.size());
}

int ln_sampVersion(const char *text, size_t len, size_t *body, uint32_t *lines) {
  size_t p = 0;
  uint32_t n = 0;
  while (p < len) {
    const void *nl = memchr(text + p, '\n', len - p);
    const size_t eol = nl ? static_cast<size_t>(static_cast<const char *>(nl) - text) : len;
    const size_t next = nl ? eol + 1 : len;
    ++n;
    size_t s = p;
    while (s < eol && (text[s] == ' ' || text[s] == '\t')) ++s;
    if (s == eol || text[s] == '#') {
      p = next;
      continue;
    }
    if (body) *body = next;
    if (lines) *lines = n;
    if (eol - s < 9 || memcmp(text + s, "version=2", 9) != 0) return 1;
    for (s += 9; s < eol; ++s)
      if (text[s] != ' ' && text[s] != '\t' && text[s] != '\r') return 1;
    return 2;
  }
  if (body) *body = len;
  if (lines) *lines = n;
  return 1;
}

namespace {

int load_text(ln_ctx ctx, const char *file, const char *text, size_t len) {
  TagCacheScope scope{ctx};
  if (len == 0) {
    ln_dbgprintf(ctx, "rulebase version is %d\n", -1);
    ln_errprintf(ctx, 0, "error determining version of %s", file);
    return 1;
  }
  size_t body = 0;
  uint32_t lines = 0;
  const int version = ln_sampVersion(text, len, &body, &lines);
  ln_dbgprintf(ctx, "rulebase version is %d\n", version);
  if (ctx->version != 0 && ctx->version != version) {
    ln_errprintf(ctx, 0, "rulebase '%s' must be version %d, but is version %d  - can not be processed",
                 file, ctx->version, version);
    return 1;
  }
  if (version != 2) {
    ctx->conf_ln_nbr = lines;
    ln_errprintf(ctx, 0,
                 "rulebase '%s' is not a version-2 rulebase (its first line that is neither blank "
                 "nor a comment is not \"version=2\"); version-1 rulebases cannot be loaded",
                 file);
    return 1;
  }
  ctx->version = 2;
  ctx->conf_ln_nbr += lines;
  ln_samp_input in{text, len, body, 1};
  const int r = process_input(ctx, &in);
  if (r != 0) return r;
  if (ctx->include_level == 1) ln_pdagOptimize(ctx);
  return 0;
}

} // namespace

int ln_sampLoadText(ln_ctx ctx, const char *file, const char *text, size_t len) {
  ln_dbgprintf(ctx, "loading rulebase text of '%s'", file);
  // The file the text came from counts as being loaded, so that an include
  // of it is refused as a cycle, as for a load by path.
  LoadGuard guard;
  struct stat st;
  if (stat(file, &st) == 0 && S_ISREG(st.st_mode)) {
    g_loading.push_back({ctx, st.st_dev, st.st_ino});
    guard.pushed = true;
  }
  return load_text(ctx, file, text, len);
}

int ln_sampLoadFromString(ln_ctx ctx, const char *text) {
  if (text == nullptr) return 1;
  ln_dbgprintf(ctx, "loading v2 rulebase from string '%s'", text);
  TagCacheScope scope{ctx};
  ctx->version = 2;
  ln_samp_input in{text, strlen(text), 0, 0};
  const int r = process_input(ctx, &in);
  if (r != 0) return r;
  if (ctx->include_level == 1) ln_pdagOptimize(ctx);
  return 0;
}

void ln_sampFree(ln_ctx, struct ln_samp *samp) {
  if (samp == nullptr) return;
  free(samp->text);
  free(samp);
}
