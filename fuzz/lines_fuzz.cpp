// libFuzzer driver: log lines through the comparison run over a rulebase
// that uses every field type (each rule begins with its own literal, so the
// fuzzer reaches every parser from the seed corpus). Besides the sanitizers
// it checks that the extract line of every sample is valid UTF-8.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/veldra.h"

namespace {

const char kRulebase[] =
    "version=2\n"
    "type=@pair:%k:word%=%v:number%\n"
    "type=@pair:(%k:word%)\n"
    "annotate=t:+event.category=\"fuzz\"\n"
    "rule=t:A %a:number% %b:float% %c:hexnumber%\n"
    "rule=t:B %a:date-rfc3164% %b:date-rfc5424%\n"
    "rule=t:C %a:kernel-timestamp%%-:whitespace%%b:ipv4% %c:ipv6%\n"
    "rule=t:D %a:word% %b:alpha% %c:rest%\n"
    "rule=t:E %a:op-quoted-string% %b:quoted-string% %c:string%\n"
    "rule=t:F %a:date-iso% %b:time-24hr% %c:time-12hr% %d:duration%\n"
    "rule=t:G %a:cisco-interface-spec% %b:mac48%\n"
    "rule=t:H %a:json%\n"
    "rule=t:I %a:cee-syslog%\n"
    "rule=t:J %a:cef%\n"
    "rule=t:K %a:v2-iptables%\n"
    "rule=t:L %a:name-value-list%\n"
    "rule=t:M %a:checkpoint-lea%\n"
    "rule=t:N %a:string-to:--% -- %b:char-to:;%;%c:char-sep:,%\n"
    "rule=t:O %a:repeat{\"parser\":{\"type\":\"ipv4\",\"name\":\"ip\"},"
    "\"while\":{\"type\":\"literal\",\"text\":\", \"}}%\n"
    "rule=t:P %{\"type\":\"alternative\",\"parser\":[{\"type\":\"number\",\"name\":\"n\"},"
    "{\"type\":\"word\",\"name\":\"w\"}]}%\n"
    "rule=t:Q %a:@pair% %b:@pair%\n"
    "rule=t:R %.:json% %-:rest%\n";

bool valid_utf8(const char *s, size_t n) {
  for (size_t i = 0; i < n;) {
    const size_t k = vdr_utf8_len(s + i, n - i);
    if (k == 0) return false;
    i += k;
  }
  return true;
}

} // namespace

// Exposed by src/core/engine.cpp for the fuzz drivers.
void vdr_run_clear_results(vdr_run *run);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // One run for every input, loaded once.
  static vdr_run *run = [] {
    vdr_config cfg{};
    cfg.keep_json = 1;
    char *err = nullptr;
    vdr_run *r = vdr_run_new(kRulebase, &cfg, &err);
    if (!r) {
      fprintf(stderr, "fuzz rulebase does not load: %s\n", err ? err : "");
      abort();
    }
    vdr_free(err);
    return r;
  }();
  // One sample: the bytes up to the first line feed or zero byte.
  std::string line(reinterpret_cast<const char *>(data), size);
  line = line.substr(0, line.find_first_of(std::string("\n\0", 2)));
  vdr_run_samples(run, line.c_str(), nullptr, nullptr);
  size_t n = 0;
  const vdr_result *res = vdr_run_results(run, &n);
  for (size_t i = 0; i < n; ++i) {
    vdr_sb sb;
    vdr_sb_init(&sb);
    vdr_sb_json_string(&sb, res[i].line);
    if (res[i].legacy_json) vdr_sb_json_text(&sb, res[i].legacy_json, strlen(res[i].legacy_json));
    if (sb.buf && !valid_utf8(sb.buf, sb.len)) abort();
    vdr_sb_free(&sb);
  }
  // Everything this input allocated is freed again before it ends.
  vdr_run_clear_results(run);
  return 0;
}
