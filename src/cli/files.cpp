// Whole-input reads, safe output writes, the rulebase directory switch and
// the progress line.
#include "cli/files.h"
#include "core/veldra.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <vector>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr size_t kChunk = 65536;

// Set once standard input has been read: a second "-" would silently get an
// empty text, so it is refused instead.
bool stdin_taken = false;

// Reads the stream to its end. The buffer starts at `initial` bytes (at least
// one chunk) and doubles whenever the next chunk might not fit, so reading is
// linear in the input size.
char *read_stream_sized(FILE *stream, const char *what, size_t initial, size_t *len_out) {
  size_t cap = initial > kChunk ? initial : kChunk;
  char *buf = static_cast<char *>(malloc(cap));
  if (!buf) {
    fprintf(stderr, "veldra: out of memory reading %s\n", what);
    return nullptr;
  }
  size_t len = 0;
  for (;;) {
    if (cap < len + kChunk + 1) {
      if (cap > SIZE_MAX / 2) {
        free(buf);
        fprintf(stderr, "veldra: out of memory reading %s\n", what);
        return nullptr;
      }
      char *p = static_cast<char *>(realloc(buf, cap * 2));
      if (!p) {
        free(buf);
        fprintf(stderr, "veldra: out of memory reading %s\n", what);
        return nullptr;
      }
      buf = p;
      cap *= 2;
    }
    size_t got = fread(buf + len, 1, kChunk, stream);
    len += got;
    if (got < kChunk) break;
  }
  if (ferror(stream)) {
    int e = errno;
    free(buf);
    fprintf(stderr, "veldra: read error on %s: %s\n", what, strerror(e ? e : EIO));
    return nullptr;
  }
  buf[len] = '\0';
  *len_out = len;
  return buf;
}

// The text ends at its first zero byte; say so rather than drop the rest
// without a word.
void warn_zero_byte(const char *what, const char *buf, size_t len) {
  if (const void *z = memchr(buf, '\0', len))
    fprintf(stderr, "veldra: warning: %s holds a zero byte at offset %zu; the text after it is ignored\n",
            what, static_cast<size_t>(static_cast<const char *>(z) - buf));
}

// The whole file or standard input, with its length.
char *read_file_n(const char *path, size_t *len) {
  if (strcmp(path, "-") == 0) {
    if (stdin_taken) {
      fputs("veldra: stdin can feed only one input; name a file for the other\n", stderr);
      return nullptr;
    }
    stdin_taken = true;
    return read_stream_sized(stdin, "stdin", 0, len);
  }
  FILE *f = fopen(path, "rb");
  if (!f) {
    fprintf(stderr, "veldra: cannot open %s: %s\n", path, strerror(errno));
    return nullptr;
  }
  // Opening a directory for reading succeeds here; refuse it as the open
  // would elsewhere. A regular file's size sizes the buffer up front.
  struct stat st;
  size_t hint = 0;
  if (fstat(fileno(f), &st) == 0) {
    if (S_ISDIR(st.st_mode)) {
      fclose(f);
      fprintf(stderr, "veldra: cannot open %s: %s\n", path, strerror(EISDIR));
      return nullptr;
    }
    if (S_ISREG(st.st_mode) && st.st_size > 0 &&
        static_cast<uintmax_t>(st.st_size) < SIZE_MAX / 4)
      hint = static_cast<size_t>(st.st_size) + kChunk + 1;
  }
  char *text = read_stream_sized(f, path, hint, len);
  fclose(f);
  return text;
}

const char *input_name(const char *path) { return strcmp(path, "-") == 0 ? "stdin" : path; }

} // namespace

char *read_stream(FILE *stream, const char *what) {
  size_t len = 0;
  char *text = read_stream_sized(stream, what, 0, &len);
  if (text) warn_zero_byte(what, text, len);
  return text;
}

char *read_file(const char *path) {
  size_t len = 0;
  char *text = read_file_n(path, &len);
  if (text) warn_zero_byte(input_name(path), text, len);
  return text;
}

char *read_text_file(const char *path) {
  size_t len = 0;
  char *text = read_file_n(path, &len);
  if (!text) return nullptr;
  if (const void *z = memchr(text, '\0', len)) {
    fprintf(stderr, "veldra: %s holds a zero byte at offset %zu; it is not text and is refused\n",
            input_name(path), static_cast<size_t>(static_cast<const char *>(z) - text));
    free(text);
    return nullptr;
  }
  return text;
}

output_sink::~output_sink() {
  if (f_ && !is_stdout_) fclose(f_);
  if (!tmp_.empty()) unlink(tmp_.c_str());
}

namespace {

// Where a path that is a dangling symbolic link leads: the link's target,
// resolved through further links (relative targets against the link's own
// directory). Empty when the path is not a dangling link, or the chain
// loops or breaks.
std::string dangling_link_target(const char *path) {
  struct stat st;
  if (lstat(path, &st) != 0 || !S_ISLNK(st.st_mode) || stat(path, &st) == 0) return {};
  std::string cur = path;
  for (int hops = 0; hops < 40; ++hops) {
    if (lstat(cur.c_str(), &st) != 0) return errno == ENOENT ? cur : std::string();
    if (!S_ISLNK(st.st_mode)) return {};
    std::string target(PATH_MAX, '\0');
    ssize_t n = readlink(cur.c_str(), target.data(), target.size());
    if (n < 0 || static_cast<size_t>(n) >= target.size()) return {};
    target.resize(static_cast<size_t>(n));
    if (target.empty()) return {};
    if (target[0] != '/') {
      size_t slash = cur.rfind('/');
      if (slash != std::string::npos) target = cur.substr(0, slash + 1) + target;
    }
    cur = target;
  }
  return {};
}

} // namespace

int output_sink::open(const char *path) {
  if (path && strcmp(path, "-") == 0) path = nullptr; // "-" is standard output
  if (!path) {
    f_ = stdout;
    path_ = "stdout";
    is_stdout_ = true;
    return 0;
  }
  path_ = path;
  struct stat st;
  bool exists = stat(path, &st) == 0;
  if (exists && S_ISDIR(st.st_mode)) {
    fprintf(stderr, "veldra: cannot write %s: %s\n", path, strerror(EISDIR));
    return -1;
  }
  if (exists && !S_ISREG(st.st_mode)) {
    // A terminal, pipe or device: nothing partial can be left behind.
    f_ = fopen(path, "w");
    if (!f_) {
      fprintf(stderr, "veldra: cannot write %s: %s\n", path, strerror(errno));
      return -1;
    }
    return 0;
  }
  if (exists && access(path, W_OK) != 0) {
    fprintf(stderr, "veldra: cannot write %s: %s\n", path, strerror(errno));
    return -1;
  }
  // Replace the file the path leads to (through symbolic links); a link
  // that leads nowhere yet gets its target created, not itself replaced.
  target_ = path;
  if (!exists) {
    std::string t = dangling_link_target(path);
    if (!t.empty()) target_ = t;
  }
  if (exists) {
    if (char *real = realpath(path, nullptr)) {
      target_ = real;
      free(real);
    }
  }
  size_t slash = target_.rfind('/');
  std::string dir = slash == std::string::npos ? "." : target_.substr(0, slash == 0 ? 1 : slash);
  std::string base = slash == std::string::npos ? target_ : target_.substr(slash + 1);
  std::string tmp = dir + (dir == "/" ? "" : "/") + "." + base + ".tmpXXXXXX";
  int fd = mkstemp(tmp.data());
  if (fd < 0 && exists) {
    // The directory takes no new file, but the existing one may be written:
    // write it in place, as an ordinary open would.
    f_ = fopen(path, "w");
    if (f_) return 0;
  }
  if (fd < 0) {
    fprintf(stderr, "veldra: cannot write %s: %s\n", path, strerror(errno));
    return -1;
  }
  tmp_ = tmp;
  mode_t mode;
  if (exists) {
    mode = st.st_mode & 07777;
  } else {
    mode_t mask = umask(0);
    umask(mask);
    mode = 0666 & ~mask;
  }
  fchmod(fd, mode);
  f_ = fdopen(fd, "w");
  if (!f_) {
    int e = errno;
    close(fd);
    fprintf(stderr, "veldra: cannot write %s: %s\n", path, strerror(e));
    return -1;
  }
  return 0;
}

int output_sink::write(const char *p, size_t n) {
  if (failed_ || !f_) return -1;
  if (n && fwrite(p, 1, n, f_) != n) {
    failed_ = true;
    if (errno != EPIPE)
      fprintf(stderr, "veldra: write failed on %s: %s\n", path_.c_str(), strerror(errno ? errno : EIO));
    return -1;
  }
  return 0;
}

int output_sink::flush() {
  if (failed_ || !f_) return -1;
  if (fflush(f_) != 0) {
    failed_ = true;
    if (errno != EPIPE)
      fprintf(stderr, "veldra: write failed on %s: %s\n", path_.c_str(), strerror(errno ? errno : EIO));
    return -1;
  }
  return 0;
}

int output_sink::finish() {
  if (failed_ || !f_) return -1;
  if (is_stdout_) {
    // Standard output is flushed, never closed.
    if (fflush(stdout) != 0 || ferror(stdout)) {
      failed_ = true;
      if (errno != EPIPE)
        fprintf(stderr, "veldra: write failed on stdout: %s\n", strerror(errno ? errno : EIO));
      return -1;
    }
    return 0;
  }
  int rc = fclose(f_);
  f_ = nullptr;
  finished_ = true;
  if (rc != 0) {
    failed_ = true;
    fprintf(stderr, "veldra: close failed on %s: %s\n", path_.c_str(), strerror(errno));
    return -1;
  }
  return 0;
}

int output_sink::commit() {
  if (failed_) return -1;
  if (is_stdout_ || !finished_) {
    if (finish() != 0) return -1;
    if (is_stdout_) return 0;
  }
  if (!tmp_.empty()) {
    if (rename(tmp_.c_str(), target_.c_str()) != 0) {
      failed_ = true;
      fprintf(stderr, "veldra: cannot write %s: %s\n", path_.c_str(), strerror(errno));
      return -1;
    }
    tmp_.clear();
  }
  return 0;
}

int refuse_output_over_inputs(const char *out, std::initializer_list<const char *> inputs) {
  if (!out || strcmp(out, "-") == 0) return 0;
  struct stat o;
  if (stat(out, &o) != 0) return 0; // not there yet: cannot be an input
  for (const char *in : inputs) {
    if (!in) continue;
    struct stat i;
    const bool is_stdin = strcmp(in, "-") == 0;
    if ((is_stdin ? fstat(STDIN_FILENO, &i) : stat(in, &i)) != 0) continue;
    if (i.st_dev == o.st_dev && i.st_ino == o.st_ino) {
      fprintf(stderr, "veldra: refusing to write %s: it is the same file as the input %s\n", out,
              is_stdin ? "stdin" : in);
      return -1;
    }
  }
  return 0;
}

int write_output(const char *path, const char *body, size_t len) {
  output_sink out;
  if (out.open(path) != 0 || out.write(body, len) != 0) return -1;
  return out.commit();
}

int write_file(const char *dir, const char *name, const char *body) {
  std::string path = std::string(dir) + "/" + name;
  if (path.size() >= PATH_MAX) {
    fprintf(stderr, "veldra: path too long for %s/%s\n", dir, name);
    return -1;
  }
  return write_output(path.c_str(), body, strlen(body));
}

int write_files_together(const char *dir, const char *const *names, const char *const *bodies,
                         size_t n) {
  std::vector<std::unique_ptr<output_sink>> sinks;
  for (size_t i = 0; i < n; ++i) {
    std::string path = std::string(dir) + "/" + names[i];
    if (path.size() >= PATH_MAX) {
      fprintf(stderr, "veldra: path too long for %s/%s\n", dir, names[i]);
      return -1;
    }
    sinks.push_back(std::make_unique<output_sink>());
    if (sinks.back()->open(path.c_str()) != 0 ||
        sinks.back()->write(bodies[i], strlen(bodies[i])) != 0)
      return -1;
  }
  for (auto &s : sinks)
    if (s->finish() != 0) return -1;
  // Keep a link to each file about to be replaced, so that a rename failing
  // part way can put the earlier ones back.
  std::vector<std::string> backup(n);
  std::vector<char> beside(n), existed(n);
  auto drop_backups = [&] {
    for (const std::string &b : backup)
      if (!b.empty()) unlink(b.c_str());
  };
  for (size_t i = 0; i < n; ++i) {
    const std::string &target = sinks[i]->target();
    beside[i] = sinks[i]->beside();
    existed[i] = beside[i] && access(target.c_str(), F_OK) == 0;
    if (!existed[i] || i + 1 == n) continue;
    size_t slash = target.rfind('/');
    std::string tmpl = slash == std::string::npos
                           ? "." + target + ".oldXXXXXX"
                           : target.substr(0, slash + 1) + "." + target.substr(slash + 1) + ".oldXXXXXX";
    int fd = mkstemp(tmpl.data());
    if (fd < 0) continue;
    close(fd);
    unlink(tmpl.c_str());
    if (link(target.c_str(), tmpl.c_str()) == 0) backup[i] = tmpl;
  }
  for (size_t i = 0; i < n; ++i) {
    if (sinks[i]->commit() == 0) continue;
    for (size_t j = 0; j < i; ++j) {
      const std::string &target = sinks[j]->target();
      if (!backup[j].empty()) {
        if (rename(backup[j].c_str(), target.c_str()) == 0) backup[j].clear();
      } else if (beside[j] && !existed[j]) {
        unlink(target.c_str());
      }
    }
    drop_backups();
    return -1;
  }
  drop_backups();
  return 0;
}

void enter_rulebase_dir(const char *rulebase, std::string &abs_path, std::string &saved,
                        int &changed) {
  changed = 0;
  char *real = realpath(rulebase, nullptr);
  if (!real) {
    // Loaded by the path as given, from the current directory.
    abs_path = rulebase;
    return;
  }
  abs_path = real;
  free(real);
  size_t slash = abs_path.rfind('/');
  if (slash == std::string::npos || slash == 0) return;
  char *cwd = getcwd(nullptr, 0);
  if (!cwd) return;
  saved = cwd;
  free(cwd);
  if (chdir(abs_path.substr(0, slash).c_str()) == 0) changed = 1;
}

vdr_run *run_from_rulebase_text(const char *rulebase, const char *text, int expand_basic_types,
                                const vdr_config *cfg, char **error, const char *restore_warning) {
  if (strcmp(rulebase, "-") == 0)
    return vdr_run_new_from_text(text, "stdin", expand_basic_types, cfg, error);
  std::string abs_path, saved;
  int changed = 0;
  enter_rulebase_dir(rulebase, abs_path, saved, changed);
  vdr_run *run = vdr_run_new_from_text(text, rulebase, expand_basic_types, cfg, error);
  if (changed && chdir(saved.c_str()) != 0) fputs(restore_warning, stderr);
  return run;
}

void progress(size_t done, size_t total, void *) {
  if (total >= 500) fprintf(stderr, "\rveldra: %zu/%zu samples", done, total);
}
