// `veldra normalize`: a rulebase run over a stream of log lines, one JSON
// object per line in input order, on several threads.
//
// The input is read in batches of whole lines. Each batch is normalized by
// one worker thread with its own context and written by the main thread in
// the order the batches were read, so the output does not depend on the
// number of threads. At most a fixed number of batches is in flight, so
// memory stays flat whatever the size of the input.
#include <poll.h>
#include <unistd.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cli/commands.h"
#include "cli/files.h"
#include "cli/options.h"
#include "core/normalize.h"
#include "core/veldra.h"
#include "vaderad/turbo.h"

namespace {

enum {
  OPT_RULEBASE,
  OPT_SAMPLES,
  OPT_OUT,
  OPT_ENGINE,
  OPT_JOBS,
  OPT_KEEP_LINE,
  OPT_MAX_LINE,
  OPT_COUNT
};

const cli_option kOptions[OPT_COUNT] = {
    {"-r", "--rulebase", true},  {"-s", "--samples", true},   {"-o", "--out", true},
    {nullptr, "--engine", true}, {"-j", "--jobs", true},      {nullptr, "--keep-line", false},
    {nullptr, "--max-line", true},
};

// Bytes asked of the input per read; a batch is what one read brings, cut
// back to its last line feed.
constexpr size_t kReadSize = 256 * 1024;
constexpr size_t kDefaultMaxLine = 1024 * 1024;
constexpr long kMaxJobs = 256;

struct batch {
  std::string in;             // whole lines; only the last batch may end without a line feed
  vdr_sb out{};               // JSON Lines for `in`
  size_t n_lines = 0;         // lines in `in`, empty ones included, for messages
  std::vector<size_t> long_lines; // line numbers in this batch cut to --max-line
  bool failed = false;        // out of memory
  bool done = false;

  batch() { vdr_sb_init(&out); }
  ~batch() { vdr_sb_free(&out); }
  batch(const batch &) = delete;
  batch &operator=(const batch &) = delete;
};

struct settings {
  vdr_norm_engine engine = VDR_NORM_AUTO;
  bool keep_line = false;
  size_t max_line = kDefaultMaxLine;
};

// Normalizes every line of the batch into its output. Lines are split on
// line feeds, a carriage return before the line feed is dropped and empty
// lines are skipped, as `check` reads its samples.
void process(ln_ctx ctx, const settings &set, batch &b) {
  b.out.len = 0;
  b.out.oom = 0;
  if (b.out.buf) b.out.buf[0] = '\0';
  b.n_lines = 0;
  b.long_lines.clear();
  b.failed = false;
  const char *p = b.in.data();
  const char *const end = p + b.in.size();
  while (p < end) {
    const char *eol = static_cast<const char *>(memchr(p, '\n', static_cast<size_t>(end - p)));
    if (!eol) eol = end;
    const char *line = p;
    size_t len = static_cast<size_t>(eol - p);
    p = eol < end ? eol + 1 : end;
    ++b.n_lines;
    if (len && line[len - 1] == '\r') --len;
    if (len == 0) continue;
    int rc;
    if (len > set.max_line) {
      b.long_lines.push_back(b.n_lines);
      rc = vdr_norm_unparsed(ctx, line, set.max_line, set.keep_line, &b.out);
    } else {
      rc = vdr_norm_line(ctx, set.engine, line, len, set.keep_line, &b.out);
    }
    if (rc != 0 || vdr_sb_putc(&b.out, '\n') != 0) {
      b.failed = true;
      return;
    }
  }
}

// Reads the input into batches of whole lines.
class line_reader {
 public:
  line_reader(int fd, const char *name, size_t max_line) : fd_(fd), name_(name), max_line_(max_line) {}

  // Fills b.in with the next whole lines; false at the end of the input or
  // after a read error (error() tells).
  bool next(batch &b) {
    b.in.swap(carry_);
    carry_.clear();
    for (;;) {
      if (eof_) return !b.in.empty();
      const size_t old = b.in.size();
      const size_t got = read_some(b.in);
      if (error_) return false;
      if (got == 0) continue; // end of input: the rest is the last line
      (void)old;
      if (const void *lf = memrchr(b.in.data(), '\n', b.in.size())) {
        const size_t cut = static_cast<size_t>(static_cast<const char *>(lf) - b.in.data()) + 1;
        carry_.assign(b.in, cut, std::string::npos);
        b.in.resize(cut);
        return true;
      }
      // No line feed yet. A line longer than --max-line is kept only as far
      // as the limit (plus one byte, so that it is seen to be too long); the
      // rest of it is read and dropped.
      if (b.in.size() > max_line_) {
        b.in.resize(max_line_ + 1);
        skip_line();
        return !error_;
      }
    }
  }

  bool error() const { return error_; }
  // Input offset of the first zero byte (the input ends there), or -1.
  long long zero_at() const { return zero_at_; }
  // Whether a read would return at once (data or end of input are there).
  bool ready() const {
    if (eof_) return true;
    pollfd pfd{fd_, POLLIN, 0};
    return poll(&pfd, 1, 0) != 0;
  }

 private:
  // Appends up to one read's worth of input to s; 0 at the end of the input.
  // A zero byte ends the input there.
  size_t read_some(std::string &s) {
    const size_t old = s.size();
    s.resize(old + kReadSize);
    ssize_t n;
    do {
      n = read(fd_, s.data() + old, kReadSize);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
      fprintf(stderr, "veldra: read error on %s: %s\n", name_, strerror(errno));
      error_ = true;
      s.resize(old);
      return 0;
    }
    s.resize(old + static_cast<size_t>(n));
    if (n == 0) {
      eof_ = true;
      return 0;
    }
    if (const void *z = memchr(s.data() + old, '\0', static_cast<size_t>(n))) {
      const size_t at = static_cast<size_t>(static_cast<const char *>(z) - s.data());
      zero_at_ = static_cast<long long>(offset_ + (at - old));
      s.resize(at);
      eof_ = true;
    }
    offset_ += static_cast<size_t>(n);
    return s.size() - old;
  }

  // Reads and drops input up to and including the next line feed; what
  // follows it is kept for the next batch.
  void skip_line() {
    std::string buf;
    while (!eof_ && !error_) {
      buf.clear();
      const size_t got = read_some(buf);
      if (const void *lf = got ? memchr(buf.data(), '\n', got) : nullptr) {
        carry_.assign(static_cast<const char *>(lf) + 1,
                      buf.data() + buf.size() - (static_cast<const char *>(lf) + 1));
        return;
      }
    }
  }

  int fd_;
  const char *name_;
  size_t max_line_;
  std::string carry_; // the start of a line whose line feed is not read yet
  bool eof_ = false;
  bool error_ = false;
  long long zero_at_ = -1;
  unsigned long long offset_ = 0;
};

// The worker threads and the queue of batches waiting for one.
class worker_pool {
 public:
  worker_pool(const std::vector<ln_ctx> &ctxs, const settings &set) : set_(set) {
    for (ln_ctx ctx : ctxs)
      threads_.emplace_back([this, ctx] { work(ctx); });
  }
  ~worker_pool() {
    {
      std::lock_guard<std::mutex> lock(m_);
      stop_ = true;
    }
    work_cv_.notify_all();
    for (std::thread &t : threads_) t.join();
  }

  void submit(batch *b) {
    {
      std::lock_guard<std::mutex> lock(m_);
      b->done = false;
      todo_.push_back(b);
    }
    work_cv_.notify_one();
  }

  void wait(batch *b) {
    std::unique_lock<std::mutex> lock(m_);
    done_cv_.wait(lock, [b] { return b->done; });
  }

 private:
  void work(ln_ctx ctx) {
    std::unique_lock<std::mutex> lock(m_);
    for (;;) {
      work_cv_.wait(lock, [this] { return stop_ || !todo_.empty(); });
      if (todo_.empty()) return; // stopping
      batch *b = todo_.front();
      todo_.pop_front();
      lock.unlock();
      process(ctx, set_, *b);
      lock.lock();
      b->done = true;
      done_cv_.notify_all();
    }
  }

  const settings &set_;
  std::mutex m_;
  std::condition_variable work_cv_, done_cv_;
  std::deque<batch *> todo_;
  bool stop_ = false;
  std::vector<std::thread> threads_;
};

struct contexts {
  std::vector<ln_ctx> v;
  ~contexts() {
    for (ln_ctx c : v) ln_exitCtx(c);
  }
};

// Each line of a collected message text as "veldra: LINE".
void print_messages(const char *text) {
  for (const char *p = text; *p;) {
    const char *eol = strchr(p, '\n');
    const size_t n = eol ? static_cast<size_t>(eol - p) : strlen(p);
    fprintf(stderr, "veldra: %.*s\n", static_cast<int>(n), p);
    p += n + (eol ? 1 : 0);
  }
}

// Loads `jobs` contexts from the rulebase text, in the rulebase's directory:
// first the text as read, then (when that fails) with the basic-types
// include expanded. The loader's messages are printed. 0, or 3 after a
// message.
int load_contexts(const char *rulebase, const char *text, vdr_norm_engine engine, size_t jobs,
                  contexts &out) {
  std::string abs_path, saved;
  int changed = 0;
  const bool from_stdin = strcmp(rulebase, "-") == 0;
  if (!from_stdin) enter_rulebase_dir(rulebase, abs_path, saved, changed);
  const char *name = from_stdin ? "stdin" : rulebase;

  vdr_sb diag;
  vdr_sb_init(&diag);
  ln_ctx first = vdr_norm_ctx_new(text, name, engine, &diag);
  char *expanded = nullptr;
  const char *used = text;
  if (!first) {
    expanded = vdr_expand_basic_types(text);
    if (expanded) {
      vdr_sb_free(&diag);
      vdr_sb_init(&diag);
      first = vdr_norm_ctx_new(expanded, name, engine, &diag);
      used = expanded;
    }
  }
  int rc = 0;
  if (!first) {
    fputs("veldra: rulebase failed to load:\n", stderr);
    print_messages(diag.buf && !diag.oom ? diag.buf : "");
    rc = 3;
  } else {
    print_messages(diag.buf && !diag.oom ? diag.buf : "");
    out.v.push_back(first);
    while (out.v.size() < jobs) {
      ln_ctx c = vdr_norm_ctx_new(used, name, engine, nullptr);
      if (!c) {
        fputs("veldra: out of memory loading the rulebase\n", stderr);
        rc = 3;
        break;
      }
      out.v.push_back(c);
    }
  }
  free(expanded);
  vdr_sb_free(&diag);
  if (changed && chdir(saved.c_str()) != 0)
    fputs("veldra: warning: could not restore cwd\n", stderr);
  return rc;
}

// A whole number from lo to hi, or -1.
long long parse_count(const char *text, long long lo, long long hi) {
  if (!text || !*text) return -1;
  char *end = nullptr;
  errno = 0;
  long long v = strtoll(text, &end, 10);
  if (errno || *end || v < lo || v > hi) return -1;
  return v;
}

// Opens the samples for reading: "-" is standard input. -1 after a message.
int open_input(const char *path) {
  if (strcmp(path, "-") == 0) return STDIN_FILENO;
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    fprintf(stderr, "veldra: cannot open %s: %s\n", path, strerror(errno));
    return -1;
  }
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    close(fd);
    fprintf(stderr, "veldra: cannot open %s: %s\n", path, strerror(EISDIR));
    return -1;
  }
  return fd;
}

struct fd_guard {
  int fd;
  ~fd_guard() {
    if (fd > STDIN_FILENO) close(fd);
  }
};

} // namespace

int cmd_normalize(int argc, char **argv) {
  const char *v[OPT_COUNT] = {};
  parse_result pr = parse_options(argc, argv, kOptions, OPT_COUNT, v, missing_value::needs_value);
  if (pr != parse_result::ok) return parse_exit(pr);
  if (!v[OPT_RULEBASE]) {
    fputs("veldra: normalize needs --rulebase\n", stderr);
    return 3;
  }
  const char *samples = v[OPT_SAMPLES] ? v[OPT_SAMPLES] : "-";

  settings set;
  set.keep_line = v[OPT_KEEP_LINE] != nullptr;
  if (const char *e = v[OPT_ENGINE]) {
    if (strcmp(e, "auto") == 0)
      set.engine = VDR_NORM_AUTO;
    else if (strcmp(e, "vaderad") == 0)
      set.engine = VDR_NORM_VADERAD;
    else if (strcmp(e, "legacy") == 0)
      set.engine = VDR_NORM_LEGACY;
    else {
      fprintf(stderr, "veldra: --engine must be auto, vaderad or legacy, not '%s'\n", e);
      return 3;
    }
  }
  size_t jobs = std::thread::hardware_concurrency();
  if (jobs == 0) jobs = 1;
  if (jobs > static_cast<size_t>(kMaxJobs)) jobs = kMaxJobs;
  if (v[OPT_JOBS]) {
    long long j = parse_count(v[OPT_JOBS], 1, kMaxJobs);
    if (j < 0) {
      fprintf(stderr, "veldra: --jobs takes a whole number from 1 to %ld, not '%s'\n", kMaxJobs,
              v[OPT_JOBS]);
      return 3;
    }
    jobs = static_cast<size_t>(j);
  }
  if (v[OPT_MAX_LINE]) {
    long long m = parse_count(v[OPT_MAX_LINE], 1, INT_MAX);
    if (m < 0) {
      fprintf(stderr, "veldra: --max-line takes a number of bytes from 1 to %d, not '%s'\n",
              INT_MAX, v[OPT_MAX_LINE]);
      return 3;
    }
    set.max_line = static_cast<size_t>(m);
  }
  if (strcmp(v[OPT_RULEBASE], "-") == 0 && strcmp(samples, "-") == 0) {
    fputs("veldra: stdin can feed only one input; name a file for the other\n", stderr);
    return 3;
  }
  if (refuse_output_over_inputs(v[OPT_OUT], {v[OPT_RULEBASE], samples}) != 0) return 3;

  std::unique_ptr<char, decltype(&free)> text(read_file(v[OPT_RULEBASE]), &free);
  if (!text) return 3;
  if (!vdr_rulebase_is_v2(text.get())) {
    fprintf(stderr, "veldra: %s is not a version=2 rulebase; it must be migrated before it can be "
                    "loaded\n",
            strcmp(v[OPT_RULEBASE], "-") == 0 ? "stdin" : v[OPT_RULEBASE]);
    return 5;
  }
  fd_guard in{open_input(samples)};
  if (in.fd < 0) return 3;
  const char *in_name = strcmp(samples, "-") == 0 ? "stdin" : samples;

  contexts ctxs;
  if (load_contexts(v[OPT_RULEBASE], text.get(), set.engine, jobs, ctxs) != 0) return 3;
  text.reset();
  if (set.engine != VDR_NORM_LEGACY && !ln_turbo_is_available(ctxs.v[0])) {
    const char *why = ln_turbo_compile_reason(ctxs.v[0]);
    if (set.engine == VDR_NORM_VADERAD) {
      fprintf(stderr, "veldra: VaderAD did not compile this rulebase: %s\n",
              *why ? why : "no reason given");
      return 3;
    }
    fprintf(stderr,
            "veldra: warning: VaderAD did not compile this rulebase (%s); the walker serves every "
            "line\n",
            *why ? why : "no reason given");
  }

  // A reader that goes away makes writes fail with EPIPE instead of killing
  // the process; the output sink ends quietly on it.
  signal(SIGPIPE, SIG_IGN);
  output_sink out;
  if (out.open(v[OPT_OUT]) != 0) return 3;

  line_reader reader(in.fd, in_name, set.max_line);
  // Batches in flight: enough to keep every thread busy while the main
  // thread reads and writes.
  const size_t n_slots = jobs == 1 ? 1 : 2 * jobs + 2;
  std::vector<std::unique_ptr<batch>> slots;
  std::vector<batch *> free_slots;
  for (size_t i = 0; i < n_slots; ++i) {
    slots.push_back(std::make_unique<batch>());
    free_slots.push_back(slots.back().get());
  }
  std::unique_ptr<worker_pool> pool;
  if (jobs > 1) pool = std::make_unique<worker_pool>(ctxs.v, set);

  std::deque<batch *> in_flight; // in input order
  size_t lines_before = 0;        // lines of the batches written so far
  bool input_done = false;
  int status = 0;
  while (status == 0) {
    // Read while there are free slots, but do not wait for slow input while
    // finished batches could be written.
    while (!input_done && !free_slots.empty() && (in_flight.empty() || reader.ready())) {
      if (in_flight.empty() && !reader.ready() && out.flush() != 0) {
        status = 3;
        break;
      }
      batch *b = free_slots.back();
      if (!reader.next(*b)) {
        input_done = true;
        if (reader.error()) status = 3;
        break;
      }
      free_slots.pop_back();
      in_flight.push_back(b);
      if (pool) {
        pool->submit(b);
      } else {
        process(ctxs.v[0], set, *b);
        b->done = true;
      }
    }
    if (status != 0 || in_flight.empty()) break;
    batch *b = in_flight.front();
    if (pool) pool->wait(b);
    in_flight.pop_front();
    free_slots.push_back(b);
    if (b->failed) {
      fprintf(stderr, "veldra: out of memory normalizing line %zu of %s\n",
              lines_before + b->n_lines, in_name);
      status = 3;
      break;
    }
    if (out.write(b->out.buf ? b->out.buf : "", b->out.len) != 0) {
      status = 3;
      break;
    }
    for (size_t n : b->long_lines)
      fprintf(stderr,
              "veldra: warning: line %zu of %s is longer than %zu bytes; its first %zu bytes are "
              "reported as unparsed\n",
              lines_before + n, in_name, set.max_line, set.max_line);
    lines_before += b->n_lines;
  }
  pool.reset(); // workers finish the batches they hold before the contexts go
  if (status != 0) return status;
  if (reader.zero_at() >= 0)
    fprintf(stderr,
            "veldra: warning: %s holds a zero byte at offset %lld; the text after it is ignored\n",
            in_name, reader.zero_at());
  return out.commit() == 0 ? 0 : 3;
}
