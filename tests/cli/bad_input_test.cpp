// `check` and `extract` on input an adversarial user would try: rulebases
// behind FIFOs and pipes, headers after comments, includes beside a rulebase
// loaded from elsewhere, load errors, and output paths that name an input, a
// dangling link or "-".
#include <gtest/gtest.h>

#include <iconv.h>
#include <libfastjson/json.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "run_veldra.h"

namespace {

const std::string kRulebase = "version=2\nrule=:%host:word% says %msg:rest%\n";
const std::string kSamples = "alpha says hello\nno match here\n";

// Like run_veldra, but standard input is a pipe fed with stdin_text, so that
// /dev/stdin and /dev/fd/0 name a pipe, not a file that could be opened twice.
veldra_run run_with_stdin_pipe(const std::vector<std::string> &args, const std::string &stdin_text,
                               const std::string &cwd) {
  temp_dir io;
  const std::string out_path = io / "stdout", err_path = io / "stderr";
  int fds[2];
  veldra_run r;
  if (pipe(fds) != 0) return r;
  pid_t pid = fork();
  if (pid == 0) {
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out < 0 || err < 0 || chdir(cwd.c_str()) != 0) _exit(127);
    dup2(fds[0], 0);
    dup2(out, 1);
    dup2(err, 2);
    close(fds[0]);
    close(fds[1]);
    std::vector<char *> argv{const_cast<char *>(VELDRA_BIN)};
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(VELDRA_BIN, argv.data());
    _exit(127);
  }
  close(fds[0]);
  signal(SIGPIPE, SIG_IGN);
  if (!stdin_text.empty() && write(fds[1], stdin_text.data(), stdin_text.size()) < 0) {
  }
  close(fds[1]);
  int st = 0;
  if (pid > 0 && waitpid(pid, &st, 0) == pid)
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  r.out = slurp(out_path);
  r.err = slurp(err_path);
  return r;
}

// A writer for a FIFO: writes the text once, then keeps opening the FIFO
// without blocking and closing it again. A reader that opens the FIFO a
// second time therefore sees an empty text instead of waiting forever, so a
// regression fails the test rather than hanging it.
struct fifo_writer {
  pid_t pid = -1;
  fifo_writer(const std::string &path, const std::string &text) {
    pid = fork();
    if (pid == 0) {
      int fd = open(path.c_str(), O_WRONLY);
      if (fd >= 0) {
        if (write(fd, text.data(), text.size()) < 0) {
        }
        close(fd);
      }
      for (int i = 0; i < 400; ++i) {
        int again = open(path.c_str(), O_WRONLY | O_NONBLOCK);
        if (again >= 0) close(again);
        usleep(50 * 1000);
      }
      _exit(0);
    }
  }
  ~fifo_writer() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
};

veldra_run veldra(const std::vector<std::string> &args, const std::string &cwd,
                  const std::string &stdin_text = "") {
  return run_veldra({args, stdin_text, cwd, {}});
}

// A rulebase read from a FIFO, /dev/stdin on a pipe, a /dev/fd name or "-"
// gives the same report and status as the same rulebase in a file, for check
// and for extract.
TEST(BadInput, RulebaseFromFifoOrPipeLoadsLikeAFile) {
  temp_dir d;
  spill(d / "x.rb", kRulebase);
  spill(d / "s.log", kSamples);
  ASSERT_EQ(mkfifo((d / "f.rb").c_str(), 0600), 0);
  for (const char *cmd : {"check", "extract"}) {
    veldra_run file = veldra({cmd, "-r", "x.rb", "-s", "s.log"}, d.path);
    ASSERT_NE(file.status, 3) << file.err;
    veldra_run fifo;
    {
      fifo_writer w(d / "f.rb", kRulebase);
      fifo = veldra({cmd, "-r", "f.rb", "-s", "s.log"}, d.path);
    }
    EXPECT_EQ(fifo.status, file.status) << cmd << " fifo: " << fifo.err;
    EXPECT_EQ(fifo.out, file.out) << cmd;
    for (const char *name : {"/dev/stdin", "/dev/fd/0", "-"}) {
      veldra_run piped = run_with_stdin_pipe({cmd, "-r", name, "-s", "s.log"}, kRulebase, d.path);
      EXPECT_EQ(piped.status, file.status) << cmd << " " << name << ": " << piped.err;
      EXPECT_EQ(piped.out, file.out) << cmd << " " << name;
    }
  }
}

// Every command and input route gives one answer on the header: comments and
// blanks before version=2 and a blank after it load everywhere; a header the
// front end refuses stays exit 5.
TEST(BadInput, OneAnswerOnTheVersionHeader) {
  temp_dir d;
  spill(d / "s.log", kSamples);
  spill(d / "x.rb", kRulebase);
  veldra_run plain_check = veldra({"check", "-r", "x.rb", "-s", "s.log"}, d.path);
  veldra_run plain_extract = veldra({"extract", "-r", "x.rb", "-s", "s.log"}, d.path);
  for (const std::string head : {"# c\nversion=2\n", "version=2 \n", "\n\t# c\n  version=2\t\r\n"}) {
    const std::string text = head + "rule=:%host:word% says %msg:rest%\n";
    spill(d / "h.rb", text);
    veldra_run c = veldra({"check", "-r", "h.rb", "-s", "s.log"}, d.path);
    EXPECT_EQ(c.status, plain_check.status) << head << c.err;
    EXPECT_EQ(c.out, plain_check.out) << head;
    veldra_run in = veldra({"check", "-r", "-", "-s", "s.log"}, d.path, text);
    EXPECT_EQ(in.status, plain_check.status) << head << in.err;
    veldra_run e = veldra({"extract", "-r", "h.rb", "-s", "s.log"}, d.path);
    EXPECT_EQ(e.status, 0) << head << e.err;
    EXPECT_EQ(e.out, plain_extract.out) << head;
  }
  spill(d / "v1.rb", "# c\nversion=2 # no\nrule=:a\n");
  EXPECT_EQ(veldra({"check", "-r", "v1.rb", "-s", "s.log"}, d.path).status, 5);
  EXPECT_EQ(veldra({"extract", "-r", "v1.rb", "-s", "s.log"}, d.path).status, 5);
}

// extract's retry with the basic-types prelude resolves the other includes
// against the rulebase's directory, never against the working directory.
TEST(BadInput, ExtractRetryResolvesIncludesBesideTheRulebase) {
  temp_dir d;
  mkdir((d / "incd").c_str(), 0755);
  mkdir((d / "other").c_str(), 0755);
  spill(d / "incd/main.rb", "version=2\ninclude=/nonexistent/basic_types.rb\ninclude=sub.rb\n");
  spill(d / "incd/sub.rb", "version=2\nrule=:right %right:word%\n");
  spill(d / "other/sub.rb", "version=2\nrule=:right %wrong:word%\n");
  veldra_run r = veldra({"extract", "-r", "../incd/main.rb", "-s", "-"}, d / "other", "right x\n");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\"right\":\"x\""), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("wrong"), std::string::npos) << r.out;
}

// Load messages name the file and line, for check and extract alike; extract
// shows the messages of a load that went through.
TEST(BadInput, LoadMessagesNameTheFile) {
  temp_dir d;
  spill(d / "s.log", kSamples);
  spill(d / "hard.rb", "version=2\n\nrule=\n");
  for (const char *cmd : {"check", "extract"}) {
    veldra_run r = veldra({cmd, "-r", "hard.rb", "-s", "s.log"}, d.path);
    EXPECT_EQ(r.status, 3) << cmd;
    EXPECT_NE(r.err.find("rulebase file hard.rb[3]: rule record is empty"), std::string::npos)
        << cmd << ": " << r.err;
    EXPECT_EQ(r.err.find("--NO-FILE--"), std::string::npos) << cmd << ": " << r.err;
  }
  spill(d / "soft.rb", "version=2\nbogus=1\nrule=:%host:word% says %msg:rest%\n");
  veldra_run e = veldra({"extract", "-r", "soft.rb", "-s", "s.log"}, d.path);
  EXPECT_EQ(e.status, 0);
  EXPECT_EQ(e.err, "veldra: rulebase file soft.rb[2]: invalid record type detected: 'bogus'\n");
}

// An output that is one of the inputs is refused before anything is written:
// the rulebase and the samples survive.
TEST(BadInput, OutputNamingAnInputIsRefused) {
  temp_dir d;
  spill(d / "x.rb", kRulebase);
  spill(d / "s.log", kSamples);
  symlink("x.rb", (d / "link.rb").c_str());
  struct {
    std::vector<std::string> args;
    std::string victim;
    std::string input_named;
    bool samples_on_stdin;
  } cases[] = {
      {{"check", "-r", "x.rb", "-s", "s.log", "-o", "x.rb"}, "x.rb", "x.rb", false},
      {{"check", "-r", "x.rb", "-s", "s.log", "-o", "link.rb"}, "x.rb", "x.rb", false},
      {{"extract", "-r", "x.rb", "-s", "s.log", "-o", "s.log"}, "s.log", "s.log", false},
      {{"extract", "-r", "link.rb", "-s", "s.log", "-o", "./x.rb"}, "x.rb", "link.rb", false},
      {{"check", "-r", "x.rb", "-s", "-", "-o", "s.log"}, "s.log", "stdin", true},
  };
  for (const auto &c : cases) {
    veldra_run r;
    if (c.samples_on_stdin) {
      // Standard input is the samples file itself.
      veldra_call call{c.args, "", d.path, {}};
      pid_t pid = fork();
      if (pid == 0) {
        int in = open((d / "s.log").c_str(), O_RDONLY);
        int null = open("/dev/null", O_WRONLY);
        int err = open((d / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(in, 0);
        dup2(null, 1);
        dup2(err, 2);
        if (chdir(d.path.c_str()) != 0) _exit(127);
        std::vector<char *> argv{const_cast<char *>(VELDRA_BIN)};
        for (const std::string &a : call.args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(VELDRA_BIN, argv.data());
        _exit(127);
      }
      int st = 0;
      waitpid(pid, &st, 0);
      r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
      r.err = slurp(d / "err");
    } else {
      r = veldra(c.args, d.path);
    }
    EXPECT_EQ(r.status, 3) << c.args[6];
    EXPECT_EQ(r.err, "veldra: refusing to write " + c.args[6] + ": it is the same file as the input " +
                         c.input_named + "\n");
    EXPECT_EQ(slurp(d / "x.rb"), kRulebase);
    EXPECT_EQ(slurp(d / "s.log"), kSamples);
  }
}

// -o through a dangling link creates the link's target and keeps the link;
// -o - is standard output.
TEST(BadInput, OutputThroughADanglingLinkAndDash) {
  temp_dir d;
  spill(d / "x.rb", kRulebase);
  spill(d / "s.log", kSamples);
  mkdir((d / "sub").c_str(), 0755);
  ASSERT_EQ(symlink("sub/report.md", (d / "dangling").c_str()), 0);
  veldra_run to_stdout = veldra({"check", "-r", "x.rb", "-s", "s.log"}, d.path);
  veldra_run r = veldra({"check", "-r", "x.rb", "-s", "s.log", "-o", "dangling"}, d.path);
  EXPECT_EQ(r.status, to_stdout.status) << r.err;
  struct stat st;
  ASSERT_EQ(lstat((d / "dangling").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(slurp(d / "sub/report.md"), to_stdout.out);

  for (const char *cmd : {"check", "extract"}) {
    veldra_run plain = veldra({cmd, "-r", "x.rb", "-s", "s.log"}, d.path);
    veldra_run dash = veldra({cmd, "-r", "x.rb", "-s", "s.log", "-o", "-"}, d.path);
    EXPECT_EQ(dash.status, plain.status) << cmd;
    EXPECT_EQ(dash.out, plain.out) << cmd;
    EXPECT_NE(lstat((d / "-").c_str(), &st), 0) << cmd << " wrote a file named -";
  }
}

// True when the text is valid UTF-8, by the C library's converter.
bool valid_utf8(const std::string &text) {
  iconv_t cd = iconv_open("UTF-32LE", "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  std::string in = text;
  std::string out(in.size() * 4 + 4, '\0');
  char *ip = in.data(), *op = out.data();
  size_t il = in.size(), ol = out.size();
  const bool ok = iconv(cd, &ip, &il, &op, &ol) != static_cast<size_t>(-1) && il == 0;
  iconv_close(cd);
  return ok;
}

// JSON outputs are valid UTF-8 and valid JSON whatever bytes the samples
// hold: bytes of broken sequences are written as \u00XX, in the walker's
// fields as in the sample line and the report.
TEST(BadInput, JsonOutputsAreValidUtf8) {
  temp_dir d;
  spill(d / "x.rb", kRulebase);
  const std::string samples = "h\xff says caf\xc3\xa9 \xed\xa0\x80 \xc3\n\xc0\xaf bad\n";
  spill(d / "s.log", samples);
  veldra_run e = veldra({"extract", "-r", "x.rb", "-s", "s.log", "--keep-line"}, d.path);
  EXPECT_EQ(e.status, 0) << e.err;
  EXPECT_TRUE(valid_utf8(e.out)) << e.out;
  size_t pos = 0, lines = 0;
  for (size_t eol; (eol = e.out.find('\n', pos)) != std::string::npos; pos = eol + 1, ++lines) {
    fjson_object *o = fjson_tokener_parse(e.out.substr(pos, eol - pos).c_str());
    EXPECT_NE(o, nullptr) << e.out.substr(pos, eol - pos);
    if (o) fjson_object_put(o);
  }
  EXPECT_EQ(lines, 2u);
  EXPECT_NE(e.out.find("\"host\":\"h\\u00ff\""), std::string::npos) << e.out;
  EXPECT_NE(e.out.find("caf\xc3\xa9 \\u00ed\\u00a0\\u0080 \\u00c3"), std::string::npos) << e.out;
  veldra_run c = veldra({"check", "-r", "x.rb", "-s", "s.log", "-f", "json", "--embed-inputs"}, d.path);
  EXPECT_TRUE(valid_utf8(c.out)) << c.out;
  EXPECT_NE(c.out.find("\\u00c0\\u00af bad"), std::string::npos) << c.out;
}

} // namespace
