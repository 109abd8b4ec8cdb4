// The usage text: one constant, written whole.
#include "cli/usage.h"

#include <cerrno>
#include <unistd.h>

const char usage_text[] = R"USAGE(usage: veldra check --rulebase FILE --samples FILE [options]
       veldra triad --rulebase FILE --out DIR [options]
       veldra spec --spec FILE [options]
       veldra propose --samples FILE [options]
       veldra extract --rulebase FILE --samples FILE [options]
       veldra normalize --rulebase FILE [--samples FILE|-] [-o FILE]
                        [--engine auto|vaderad|legacy] [--jobs N] [--keep-line]
       veldra translate --rulebase FILE --aliases FILE [options]
       veldra ecs --rulebase FILE
       veldra sigma compile FILE.yml [-o out.sigmac] [--full]
       veldra sigma match --sigmac FILE --events FILE [--techno T --product P] [--explain]
       veldra sigma correlate --sigmac FILE --corr FILE --events FILE
       veldra sigma lint FILE.yml [--source-id ID]
       veldra --version

Compare the legacy recursive walker against the VaderAD bytecode engine
over a v2 rulebase and a set of log samples. triad writes the exchange
directory (parser.rulebase and meta.yaml) from a proven rulebase.
It does not re-run the engines; run check first. It does not write an
Ostrand conf template or severity_id.
spec emits a v2 rulebase from a field-extraction JSON spec
(no consume simulation; gate it with check or the SPA).
propose auto-spans samples, clusters by type signature, and names ECS
fields (heuristic until a bundled classifier is trained).
normalize runs a proven rulebase over a stream of log lines and writes one
JSON object per line, in input order.

check options:
  -r, --rulebase FILE   v2 rulebase to load (required)
  -s, --samples FILE    one log line per line; '-' reads stdin (required)
  -f, --format FMT      markdown (default) or json
  -o, --out FILE        write the report here instead of stdout
      --max N           stop after N samples
      --embed-inputs    include the raw sample lines in the JSON report
      --strict-unparsed exit non-zero when samples match no rule at all
      --strict-ecs      ECS extended fields are errors; exit 6 if ECS fails
      --rule-coverage   add per-rule coverage to the report, dead rules first
      --sarif FILE      also write the findings as a SARIF 2.1.0 log
  -j, --jobs N          threads for the comparison (default: the number of
                        cores); the report is the same for every N
  -h, --help            this text

triad options:
  -r, --rulebase FILE   v2 rulebase (required)
  -o, --out DIR         directory for parser.rulebase and meta.yaml (required)
      --source-id ID    techno-product (linux-sshd); required unless rule= has that shape
      --label TEXT      meta.yaml title (default: source-id)
      --facility NAME   syslog facility (default: infer from event.category / source_id)
      --input-path PATH imfile path, or udp/tcp port when --input-type is imudp/imtcp
      --input-type TYPE imfile (default), imudp, or imtcp
      --allow-non-ecs   write stubs even when the ECS lint fails (survey only)

spec options:
      --spec FILE       JSON spec (required; '-' reads stdin)
  -o, --out FILE        write the rulebase here instead of stdout

propose options:
  -s, --samples FILE    one log line per line (required; '-' reads stdin)
      --aliases FILE    optional overlay JSON (baked global map is default)
      --parser NAME     by_parser key for key=value alias lookup
  -o, --out FILE        write the JSON proposal here instead of stdout

extract options:
  -r, --rulebase FILE   v2 rulebase (required)
  -s, --samples FILE    samples (required; '-' reads stdin)
      --keep-line       include the raw sample (train only, local)
  -o, --out FILE        JSONL instead of stdout

normalize options:
  -r, --rulebase FILE   v2 rulebase (required)
  -s, --samples FILE    log lines to normalize (default '-': stdin), read as
                        a stream; CR before LF is dropped, empty lines skipped
  -o, --out FILE        JSONL instead of stdout (appears only when complete)
      --engine E        auto (default): VaderAD where it serves the line, the
                        walker otherwise; vaderad or legacy: that engine only
  -j, --jobs N          threads (default: the number of cores); the output
                        is the same for every N
      --keep-line       write {"fields":RESULT,"line":"LINE"} per line
      --max-line BYTES  longer lines are reported unparsed with their first
                        BYTES bytes and a warning (default 1048576)
  Unmatched lines give the unparsed result. Exit 0 when every line was
  written, 3 on a load, input or output failure (a closed pipe ends it
  quietly), 5 when the rulebase is not version=2.

translate options:
  -r, --rulebase FILE   Ostrand v2 rulebase (required)   
      --aliases FILE    optional overlay JSON (baked global map is default)
      --parser NAME     by_parser key, or auto from the rulebase filename
  -o, --out FILE        rewritten rulebase instead of stdout

ecs options:
  -r, --rulebase FILE   v2 rulebase (required; '-' reads stdin)
  Lint only. No samples. Exit 6 if the verdict is fail.

sigma compile options:
  -o, --out FILE        database path (default rules.sigmac); with a
                        correlation document also FILE.corr.json
      --full            run the outside converter named by VELDRA_PYTHON
  Rules must use taxonomy: ecs. Limits of one compilation (each an error
  naming the document, line and key): 8192 documents and rules, 32
  selections per rule, 32 values per selection (list items count) and 32
  fields, 8 correlation rules and group-by fields, keys of 63 characters,
  values and conditions of 255, 262144 predicates, 65536 selections,
  65535 field names, 16 MiB of strings.

sigma lint options:
      --source-id ID    techno-product the rules are meant for (linux-sshd)

sigma match and correlate options:
      --techno T        techno field for events that have none
      --product P       product field for events that have none
      --explain         match: name the selections and predicates of each hit
  Events: a JSON array or JSON Lines, read one event at a time (no limit on
  events or fields). Event time: @timestamp or _ts, ISO 8601 or epoch
  seconds or milliseconds; without one, correlate counts events.

exit status:
  0  clean: VaderAD executed every matched sample and agreed with the walker
  1  coverage gap: VaderAD declined samples; the walker still serves them
  2  divergence: both engines matched but extracted different data
  3  the rulebase failed to load on at least one engine
  4  samples matched no rule (only with --strict-unparsed)
  5  not a version=2 rulebase: needs migration, not a compatibility defect
  6  ECS lint failed (triad by default; check only with --strict-ecs)
)USAGE";

void print_usage(FILE *stream) {
  // Flush what the stream holds first, then hand the text to the kernel in
  // one write; the loop only continues after a short write or a signal.
  fflush(stream);
  const char *p = usage_text;
  size_t left = sizeof usage_text - 1;
  while (left > 0) {
    ssize_t n = write(fileno(stream), p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
}
