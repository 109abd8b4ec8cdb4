// `veldra normalize` run as a user runs it: what each engine writes, the
// same output on any number of threads, bad input lines, failures and their
// exit statuses, and a reader that goes away.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "run_veldra.h"

namespace {

const std::string kRulebase = "version=2\nrule=:%host:word% says %msg:rest%\n";

veldra_run run(std::vector<std::string> args, std::string stdin_text = "", std::string cwd = "") {
  veldra_call c;
  c.args = std::move(args);
  c.stdin_text = std::move(stdin_text);
  c.cwd = std::move(cwd);
  return run_veldra(c);
}

std::string examples() { return std::string(VELDRA_SOURCE_DIR) + "/examples"; }

std::vector<std::string> lines_of(const std::string &text) {
  std::vector<std::string> v;
  size_t p = 0;
  while (p < text.size()) {
    size_t e = text.find('\n', p);
    if (e == std::string::npos) e = text.size();
    v.push_back(text.substr(p, e - p));
    p = e + 1;
  }
  return v;
}

// The walker's JSON for every sample, from extract's "fields" member.
std::vector<std::string> extract_fields(const std::string &rulebase, const std::string &samples) {
  veldra_run r = run({"extract", "-r", rulebase, "-s", samples});
  EXPECT_EQ(r.status, 0) << r.err;
  std::vector<std::string> v;
  for (const std::string &l : lines_of(r.out)) {
    const size_t at = l.find(",\"fields\":");
    v.push_back(at == std::string::npos ? l : l.substr(at + 10, l.size() - at - 11));
  }
  return v;
}

TEST(Normalize, LegacyEngineWritesTheWalkersResultForEverySample) {
  const std::string rb = examples() + "/linux-syslog.rb", samples = examples() + "/samples.log";
  veldra_run r = run({"normalize", "-r", rb, "-s", samples, "--engine", "legacy"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(lines_of(r.out), extract_fields(rb, samples));
}

TEST(Normalize, AutoUsesVaderADWhereItServesTheLineAndTheWalkerElsewhere) {
  temp_dir d;
  spill(d / "r.rb", kRulebase);
  const std::string in = "alpha says hello\nno match here\n";
  veldra_run a = run({"normalize", "-r", d / "r.rb"}, in);
  veldra_run t = run({"normalize", "-r", d / "r.rb", "--engine", "vaderad"}, in);
  veldra_run l = run({"normalize", "-r", d / "r.rb", "--engine", "legacy"}, in);
  ASSERT_EQ(a.status, 0) << a.err;
  ASSERT_EQ(t.status, 0) << t.err;
  ASSERT_EQ(l.status, 0) << l.err;
  const auto al = lines_of(a.out), tl = lines_of(t.out), ll = lines_of(l.out);
  ASSERT_EQ(al.size(), 2u);
  ASSERT_EQ(tl.size(), 2u);
  ASSERT_EQ(ll.size(), 2u);
  EXPECT_EQ(al[0], tl[0]); // VaderAD's text for the line it serves
  EXPECT_NE(al[0].find("\"host\":\"alpha\""), std::string::npos) << al[0];
  // Unparsed: the walker says how far it got; VaderAD alone gives the whole line.
  EXPECT_EQ(al[1], ll[1]);
  EXPECT_EQ(ll[1], "{\"originalmsg\":\"no match here\",\"unparsed-data\":\" match here\"}");
  EXPECT_EQ(tl[1], "{\"originalmsg\":\"no match here\",\"unparsed-data\":\"no match here\"}");
}

TEST(Normalize, OutputIsTheSameOnAnyNumberOfThreads) {
  // Twice the samples spans several input batches, so threads finish them
  // out of order and the writer must restore it.
  temp_dir d;
  const std::string one = slurp(examples() + "/samples.log");
  spill(d / "in.log", one + one);
  const std::string rb = examples() + "/linux-syslog.rb";
  veldra_run j1 = run({"normalize", "-r", rb, "-s", d / "in.log", "--jobs", "1"});
  veldra_run j3 = run({"normalize", "-r", rb, "-s", d / "in.log", "-j", "3"});
  ASSERT_EQ(j1.status, 0) << j1.err;
  ASSERT_EQ(j3.status, 0) << j3.err;
  EXPECT_EQ(lines_of(j1.out).size(), 2 * lines_of(one).size());
  EXPECT_TRUE(j1.out == j3.out);
}

TEST(Normalize, BadLinesAreHandledAsCheckReadsThem) {
  temp_dir d;
  spill(d / "r.rb", kRulebase);
  struct bad_case {
    const char *name;
    std::string in;
    std::vector<std::string> extra; // options
    std::string out;
    std::string err;
  } cases[] = {
      {"CrLfAndEmptyLinesAndNoFinalLineFeed",
       "a says x\r\n\n\r\nb says y",
       {},
       "{\"host\":\"a\",\"msg\":\"x\"}\n{\"host\":\"b\",\"msg\":\"y\"}\n",
       ""},
      {"ZeroByteEndsTheInput",
       std::string("a says x\nb says y\0c says z\n", 26),
       {},
       "{\"host\":\"a\",\"msg\":\"x\"}\n{\"host\":\"b\",\"msg\":\"y\"}\n",
       "veldra: warning: stdin holds a zero byte at offset 17; the text after it is ignored\n"},
      {"InvalidUtf8IsEscaped",
       "a says \xff\xc3\xa9\n",
       {"--engine", "legacy"},
       "{\"msg\":\"\\u00ff\xc3\xa9\",\"host\":\"a\"}\n",
       ""},
      {"LongLineIsReportedUnparsed",
       "a says 1234567890\nb says y\n",
       {"--max-line", "10"},
       "{\"originalmsg\":\"a says 123\",\"unparsed-data\":\"a says 123\"}\n"
       "{\"host\":\"b\",\"msg\":\"y\"}\n",
       "veldra: warning: line 1 of stdin is longer than 10 bytes; its first 10 bytes are reported "
       "as unparsed\n"},
      {"KeepLineWraps",
       "a says \"q\"\n",
       {"--keep-line", "--engine", "legacy"},
       "{\"fields\":{\"msg\":\"\\\"q\\\"\",\"host\":\"a\"},\"line\":\"a says \\\"q\\\"\"}\n",
       ""},
  };
  for (const bad_case &c : cases) {
    for (const char *jobs : {"1", "2"}) {
      std::vector<std::string> args{"normalize", "-r", d / "r.rb", "-j", jobs};
      args.insert(args.end(), c.extra.begin(), c.extra.end());
      veldra_run r = run(args, c.in);
      EXPECT_EQ(r.status, 0) << c.name;
      EXPECT_EQ(r.out, c.out) << c.name;
      EXPECT_EQ(r.err, c.err) << c.name;
    }
  }
}

TEST(Normalize, LongLineLongerThanOneReadIsCutAndTheNextLinesKept) {
  // A line far longer than one read of the input: the reader drops its tail
  // while keeping the lines after it.
  temp_dir d;
  spill(d / "r.rb", kRulebase);
  std::string in = "a says " + std::string(700000, 'x') + "\nb says y\nc says z\n";
  veldra_run r = run({"normalize", "-r", d / "r.rb", "--max-line", "100000"}, in);
  ASSERT_EQ(r.status, 0) << r.err;
  const auto out = lines_of(r.out);
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[0].size(), 2 * 100000u + 37u);
  EXPECT_EQ(out[1], "{\"host\":\"b\",\"msg\":\"y\"}");
  EXPECT_EQ(out[2], "{\"host\":\"c\",\"msg\":\"z\"}");
  EXPECT_NE(r.err.find("line 1 of stdin is longer than 100000 bytes"), std::string::npos);
}

TEST(Normalize, FailuresAndTheirExitStatuses) {
  temp_dir d;
  spill(d / "r.rb", kRulebase);
  spill(d / "v1.rb", "rule=:%a:word%\n");
  spill(d / "broken.rb", "version=2\nrule=:%a:nosuchtype%\n");
  spill(d / "in.log", "a says x\n");
  struct fail_case {
    const char *name;
    std::vector<std::string> args;
    int status;
    std::string err; // start of standard error
  } cases[] = {
      {"NoRulebase", {"normalize"}, 3, "veldra: normalize needs --rulebase\n"},
      {"BadEngine", {"normalize", "-r", "r.rb", "--engine", "fast"}, 3,
       "veldra: --engine must be auto, vaderad or legacy, not 'fast'\n"},
      {"BadJobs", {"normalize", "-r", "r.rb", "--jobs", "0"}, 3,
       "veldra: --jobs takes a whole number from 1 to 256, not '0'\n"},
      {"BadMaxLine", {"normalize", "-r", "r.rb", "--max-line", "1k"}, 3,
       "veldra: --max-line takes a number of bytes from 1 to 2147483647, not '1k'\n"},
      {"NotVersion2", {"normalize", "-r", "v1.rb"}, 5,
       "veldra: v1.rb is not a version=2 rulebase; it must be migrated before it can be loaded\n"},
      {"NoSuchRulebase", {"normalize", "-r", "none.rb"}, 3, "veldra: cannot open none.rb: "},
      {"NoSuchSamples", {"normalize", "-r", "r.rb", "-s", "none.log"}, 3,
       "veldra: cannot open none.log: "},
      {"SamplesAreADirectory", {"normalize", "-r", "r.rb", "-s", "."}, 3,
       "veldra: cannot open .: Is a directory\n"},
      {"LoadErrorNamesFileAndLine", {"normalize", "-r", "broken.rb", "-s", "in.log"}, 3,
       "veldra: rulebase failed to load:\nveldra: rulebase file broken.rb[2]: invalid field type "
       "'nosuchtype'\n"},
      {"BothFromStdin", {"normalize", "-r", "-", "-s", "-"}, 3,
       "veldra: stdin can feed only one input; name a file for the other\n"},
      {"OutputOverInput", {"normalize", "-r", "r.rb", "-s", "in.log", "-o", "in.log"}, 3,
       "veldra: refusing to write in.log: it is the same file as the input in.log\n"},
      {"UnwritableOutput", {"normalize", "-r", "r.rb", "-s", "in.log", "-o", "no/dir/out"}, 3,
       "veldra: cannot write no/dir/out: "},
  };
  for (const fail_case &c : cases) {
    veldra_run r = run(c.args, "", d.path);
    EXPECT_EQ(r.status, c.status) << c.name << ": " << r.err;
    EXPECT_EQ(r.err.substr(0, c.err.size()), c.err) << c.name;
    EXPECT_EQ(r.out, "") << c.name;
  }
  EXPECT_EQ(slurp(d / "in.log"), "a says x\n");
}

TEST(Normalize, WritesAFileOnlyWhenItSucceeds) {
  temp_dir d;
  spill(d / "r.rb", kRulebase);
  spill(d / "in.log", "a says x\n");
  veldra_run ok = run({"normalize", "-r", "r.rb", "-s", "in.log", "-o", "out.jsonl"}, "", d.path);
  ASSERT_EQ(ok.status, 0) << ok.err;
  EXPECT_EQ(slurp(d / "out.jsonl"), "{\"host\":\"a\",\"msg\":\"x\"}\n");
  // A failed read (a file that opens but cannot be read) leaves the earlier
  // output in place and no temporary file beside it.
  veldra_run bad =
      run({"normalize", "-r", "r.rb", "-s", "/proc/self/mem", "-o", "out.jsonl"}, "", d.path);
  EXPECT_EQ(bad.status, 3);
  EXPECT_EQ(slurp(d / "out.jsonl"), "{\"host\":\"a\",\"msg\":\"x\"}\n");
  std::string listing;
  FILE *p = popen(("ls -A '" + d.path + "'").c_str(), "r");
  char buf[256];
  while (p && fgets(buf, sizeof buf, p)) listing += buf;
  if (p) pclose(p);
  EXPECT_EQ(listing, "in.log\nout.jsonl\nr.rb\n");
}

TEST(Normalize, BrokenPipeEndsQuietlyWithStatus3) {
  temp_dir d;
  spill(d / "r.rb", kRulebase);
  std::string in;
  for (int i = 0; i < 5000; ++i) in += "host" + std::to_string(i) + " says hello\n";
  spill(d / "in.log", in);
  // The read end is closed before the child starts, so its first write fails.
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[0]);
  const std::string err_path = d / "stderr";
  pid_t pid = fork();
  if (pid == 0) {
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (err < 0) _exit(127);
    dup2(fds[1], 1);
    dup2(err, 2);
    signal(SIGPIPE, SIG_DFL);
    const std::string rb = d / "r.rb", samples = d / "in.log";
    execl(VELDRA_BIN, VELDRA_BIN, "normalize", "-r", rb.c_str(), "-s", samples.c_str(), "-j", "2",
          static_cast<char *>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  int st = 0;
  ASSERT_EQ(waitpid(pid, &st, 0), pid);
  ASSERT_TRUE(WIFEXITED(st)) << "killed by signal " << WTERMSIG(st);
  EXPECT_EQ(WEXITSTATUS(st), 3);
  EXPECT_EQ(slurp(err_path), "");
}

TEST(Normalize, HelpListsTheCommand) {
  veldra_run r = run({"normalize", "--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("veldra normalize --rulebase FILE"), std::string::npos);
  EXPECT_NE(r.out.find("normalize options:"), std::string::npos);
}

} // namespace
