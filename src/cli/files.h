// File and stream helpers of the command-line front end: whole-input reads,
// output writes that never leave a partial file, entering a rulebase's
// directory for loading, and the progress line of `check`.
#pragma once

#include <cstddef>
#include <cstdio>
#include <initializer_list>
#include <string>

// Whole file as a zero-terminated text (free with free()); "-" reads standard
// input, which can be consumed by one input only. A path that cannot be
// opened (or is a directory) prints "veldra: cannot open PATH: REASON" and
// gives null; read failures print their own message.
char *read_file(const char *path);

// The same for an input that must be text from end to end: one holding a
// zero byte is refused with "veldra: NAME holds a zero byte at offset N; it is
// not text and is refused" rather than cut short.
char *read_text_file(const char *path);

// Reads a stream to its end into one zero-terminated buffer (free with
// free()); `what` names the stream in messages. Null after printing a message.
char *read_stream(FILE *stream, const char *what);

// Writes body to dir/name; 0 on success, -1 after printing a message.
int write_file(const char *dir, const char *name, const char *body);

// Writes n files into dir together: each is written beside its final name,
// and only when all are complete are they renamed into place, so a failure
// leaves the earlier files as they were (a rename that fails part way undoes
// the renames before it). 0 on success, -1 after printing a message.
int write_files_together(const char *dir, const char *const *names, const char *const *bodies,
                         size_t n);

// An output being written: standard output (no path, or "-"), or a named file that only
// appears (replacing any earlier one) when commit() succeeds. A regular file
// is written to a temporary file beside it and renamed into place, so a failed
// or abandoned write never leaves a partial file; a device or pipe is written
// directly. Every failure prints its message ("cannot write", "write failed
// on", "close failed on") and gives -1, except a broken pipe (the reader went
// away, EPIPE), which gives -1 quietly.
class output_sink {
 public:
  output_sink() = default;
  output_sink(const output_sink &) = delete;
  output_sink &operator=(const output_sink &) = delete;
  ~output_sink(); // removes the temporary file of an uncommitted write

  int open(const char *path); // null path: standard output
  int write(const char *p, size_t n);
  // Completes the written text without putting it in place yet: a file
  // written beside its name is closed, ready for commit() to rename it.
  int finish();
  int flush(); // hands what is buffered to the file, pipe or terminal
  int commit();
  // The file that commit() replaces (empty when not writing beside it).
  const std::string &target() const { return target_; }
  bool beside() const { return !tmp_.empty(); }

 private:
  FILE *f_ = nullptr;
  std::string path_;   // as given by the user, for messages
  std::string target_; // the file replaced at commit
  std::string tmp_;    // temporary file, empty when writing in place
  bool is_stdout_ = false;
  bool failed_ = false;
  bool finished_ = false;
};

// Writes len bytes of body to path, or to standard output when path is null.
// A regular file is written to a temporary file beside it and renamed into
// place, so a failed write never leaves a partial file. 0 on success, -1 after
// printing a message ("cannot write", "write failed on", "close failed on").
int write_output(const char *path, const char *body, size_t len);

// -1 after "veldra: refusing to write OUT: it is the same file as the input
// IN" when the output path names the same file (device and inode, through
// links) as one of the inputs ("-" is standard input); 0 otherwise, also for
// a null or "-" output and for inputs that cannot be looked at.
int refuse_output_over_inputs(const char *out, std::initializer_list<const char *> inputs);

// Resolves the rulebase path to an absolute path and, when it can, makes the
// rulebase's directory the working directory so relative includes resolve
// against it. `changed` tells whether the caller must change back to `saved`.
void enter_rulebase_dir(const char *rulebase, std::string &abs_path, std::string &saved,
                        int &changed);

// Creates a comparison run from the rulebase text read from `rulebase` (a
// path, or "-" for standard input), loaded from the file's own directory
// (enter_rulebase_dir) and changing back afterwards; a failure to change
// back prints restore_warning and goes on. The file is not opened again, so a
// pipe or FIFO works as well as a regular file; messages name the path as
// given ("stdin" for "-").
struct vdr_run;
struct vdr_config;
vdr_run *run_from_rulebase_text(const char *rulebase, const char *text, int expand_basic_types,
                                const vdr_config *cfg, char **error, const char *restore_warning);

// The `check` progress callback: "\rveldra: DONE/TOTAL samples" on standard
// error when total is at least 500.
void progress(size_t done, size_t total, void *user);
