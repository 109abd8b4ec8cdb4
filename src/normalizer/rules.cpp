// Rule table of a normalizer context (see rules.h).
#include "normalizer/rules.h"

#include <cstring>
#include <deque>
#include <new>
#include <string>
#include <vector>

struct ln_rule_table {
  std::deque<std::string> texts; // file names and paths; stable addresses
  std::vector<ln_rule_info> rules;
  std::vector<const char *> paths; // absolute path per nested load, or null
  const char *last_file = nullptr; // interned copy of the last file name
  uint32_t record_line = 0;        // first line of the record being processed
};

namespace {

ln_rule_table *table(ln_ctx ctx) {
  if (ctx->rules == nullptr) ctx->rules = new ln_rule_table;
  return ctx->rules;
}

const char *intern(ln_rule_table *t, const char *s) {
  t->texts.emplace_back(s);
  return t->texts.back().c_str();
}

} // namespace

uint32_t ln_ruleCount(ln_ctx ctx) {
  return ctx && ctx->rules ? static_cast<uint32_t>(ctx->rules->rules.size()) : 0;
}

const ln_rule_info *ln_ruleGet(ln_ctx ctx, uint32_t idx) {
  if (idx == 0 || idx > ln_ruleCount(ctx)) return nullptr;
  return &ctx->rules->rules[idx - 1];
}

uint32_t ln_ruleAdd(ln_ctx ctx, struct fjson_object *tags) {
  try {
    ln_rule_table *t = table(ctx);
    if (t->rules.size() >= UINT32_MAX - 1) return 0;
    // Rules come file by file: the name is copied once per run of rules
    // from the same file.
    const char *file = ctx->conf_file;
    if (file && (!t->last_file || strcmp(t->last_file, file) != 0))
      t->last_file = intern(t, file);
    ln_rule_info r{};
    r.file = file ? t->last_file : nullptr;
    r.path = t->paths.empty() ? nullptr : t->paths.back();
    r.line = t->record_line ? t->record_line : ctx->conf_ln_nbr;
    r.tags = tags ? fjson_object_get(tags) : nullptr;
    t->rules.push_back(r);
    return static_cast<uint32_t>(t->rules.size());
  } catch (const std::bad_alloc &) {
    return 0;
  }
}

int ln_rulePushPath(ln_ctx ctx, const char *abs_path) {
  try {
    ln_rule_table *t = table(ctx);
    t->paths.push_back(abs_path && *abs_path ? intern(t, abs_path) : nullptr);
    return 0;
  } catch (const std::bad_alloc &) {
    return -1;
  }
}

void ln_rulePopPath(ln_ctx ctx) {
  if (ctx->rules && !ctx->rules->paths.empty()) ctx->rules->paths.pop_back();
}

void ln_ruleSetRecordLine(ln_ctx ctx, uint32_t line) {
  if (ctx->rules)
    ctx->rules->record_line = line;
  else if (line)
    try {
      table(ctx)->record_line = line;
    } catch (const std::bad_alloc &) {
      // the rule then carries the context's current line
    }
}

void ln_ruleTableFree(ln_ctx ctx) {
  if (!ctx || !ctx->rules) return;
  for (ln_rule_info &r : ctx->rules->rules)
    if (r.tags) fjson_object_put(r.tags);
  delete ctx->rules;
  ctx->rules = nullptr;
}
