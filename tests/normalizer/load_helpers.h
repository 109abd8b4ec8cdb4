// Shared helpers of the loader, DAG, annotation and rewrite tests: a context
// that collects its error and debug messages, and text renderings of a DAG.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "normalizer/context.h"
#include "normalizer/parser.h"
#include "normalizer/pdag.h"

struct TestCtx {
  ln_ctx ctx = nullptr;
  std::vector<std::string> errors;
  std::vector<std::string> debug;

  explicit TestCtx(uint32_t opts = 0) {
    ctx = ln_initCtx();
    ln_setErrMsgCB(ctx, &TestCtx::onErr, this);
    ln_setDebugCB(ctx, &TestCtx::onDbg, this);
    if (opts) ln_setCtxOpts(ctx, opts);
  }
  ~TestCtx() { ln_exitCtx(ctx); }
  TestCtx(const TestCtx &) = delete;
  TestCtx &operator=(const TestCtx &) = delete;

  static void onErr(void *cookie, const char *msg, size_t len) {
    static_cast<TestCtx *>(cookie)->errors.emplace_back(msg, len);
  }
  static void onDbg(void *cookie, const char *msg, size_t len) {
    static_cast<TestCtx *>(cookie)->debug.emplace_back(msg, len);
  }
  int load(const std::string &text) { return ln_loadSamplesFromString(ctx, text.c_str()); }
  int loadFile(const std::string &path) { return ln_loadSamples(ctx, path.c_str()); }
  bool hasDebug(const std::string &s) const {
    for (const auto &d : debug)
      if (d == s) return true;
    return false;
  }
};

inline std::string statsText(ln_ctx ctx, int extended = 0) {
  char *buf = nullptr;
  size_t len = 0;
  FILE *fp = open_memstream(&buf, &len);
  ln_fullPdagStats(ctx, fp, extended);
  fclose(fp);
  std::string s(buf, len);
  free(buf);
  return s;
}

// The edge texts of one node in stored order: "type:name" or "literal:'text'".
inline std::vector<std::string> edgeList(ln_ctx ctx, const struct ln_pdag *n) {
  std::vector<std::string> out;
  for (int i = 0; i < n->nparsers; ++i) {
    const ln_parser_t &p = n->parsers[i];
    if (p.prsid == PRS_LITERAL)
      out.push_back(std::string("literal:'") +
                    (p.parser_data ? ln_DataForDisplayLiteral(ctx, p.parser_data) : "") + "'");
    else
      out.push_back(std::string(ln_parserName(p.prsid)) + ":" + (p.name ? p.name : "-"));
  }
  return out;
}

// A scratch directory removed with the object.
struct TempDir {
  std::filesystem::path path;
  TempDir() {
    char tmpl[] = "/tmp/veldra-loader-XXXXXX";
    path = mkdtemp(tmpl);
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
  std::string write(const std::string &name, const std::string &content) const {
    auto p = path / name;
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << content;
    return p.string();
  }
};

// Changes the working directory for one scope.
struct ChDir {
  std::filesystem::path old;
  explicit ChDir(const std::filesystem::path &p) : old(std::filesystem::current_path()) {
    std::filesystem::current_path(p);
  }
  ~ChDir() { std::filesystem::current_path(old); }
};
