// The front end's file helpers: whole-input reads, output that never leaves
// a partial file, the rulebase directory switch and the progress line.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string>

// The helpers belong to the executable, not the library: build them here.
#include "cli/files.cpp"
#include "run_veldra.h"

namespace {

std::string read_and_free(const std::string &path) {
  char *p = read_file(path.c_str());
  if (!p) return "<null>";
  std::string s = p;
  free(p);
  return s;
}

// Names in a directory other than . and ..
std::string listing(const std::string &dir) {
  std::string cmd = "ls -A '" + dir + "'";
  std::string out;
  if (FILE *p = popen(cmd.c_str(), "r")) {
    char buf[256];
    while (fgets(buf, sizeof buf, p)) out += buf;
    pclose(p);
  }
  return out;
}

TEST(ReadFile, WholeFileAcrossChunkBoundaries) {
  temp_dir d;
  for (size_t size : {size_t{0}, size_t{1}, size_t{65535}, size_t{65536}, size_t{65537},
                      size_t{3 * 65536 + 5}}) {
    std::string text(size, 'x');
    for (size_t i = 0; i < size; i += 97) text[i] = static_cast<char>('a' + i % 26);
    spill(d / "in", text);
    EXPECT_EQ(read_and_free(d / "in"), text) << size;
  }
}

TEST(ReadStream, ExactlyOneChunkFromAPipe) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::string text(65536, 'q');
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    const char *p = text.data();
    size_t left = text.size();
    while (left) {
      ssize_t n = write(fds[1], p, left);
      if (n <= 0) _exit(1);
      p += n;
      left -= static_cast<size_t>(n);
    }
    _exit(0);
  }
  close(fds[1]);
  FILE *f = fdopen(fds[0], "rb");
  char *got = read_stream(f, "pipe");
  fclose(f);
  waitpid(pid, nullptr, 0);
  ASSERT_NE(got, nullptr);
  EXPECT_EQ(strlen(got), text.size());
  EXPECT_EQ(std::string(got), text);
  free(got);
}

TEST(ReadFile, ZeroByteEndsTheText) {
  temp_dir d;
  spill(d / "z", std::string("ab\0cd", 5));
  testing::internal::CaptureStderr();
  EXPECT_EQ(read_and_free(d / "z"), "ab");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "veldra: warning: " + (d / "z") + " holds a zero byte at offset 2; the text after it is ignored\n");
}

TEST(ReadFile, OpenFailuresNameThePath) {
  temp_dir d;
  testing::internal::CaptureStderr();
  EXPECT_EQ(read_and_free(d / "missing"), "<null>");
  EXPECT_EQ(read_and_free(d.path), "<null>");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "veldra: cannot open " + (d / "missing") + ": No such file or directory\n" +
                "veldra: cannot open " + d.path + ": Is a directory\n");
}

TEST(ReadStream, ReadErrorIsReported) {
  temp_dir d;
  spill(d / "w", "x");
  FILE *f = fopen((d / "w").c_str(), "w"); // not open for reading
  testing::internal::CaptureStderr();
  EXPECT_EQ(read_stream(f, "thing"), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "veldra: read error on thing: Bad file descriptor\n");
  fclose(f);
}

TEST(WriteOutput, CreatesWithUmaskModeAndLeavesNoTemporaryFile) {
  temp_dir d;
  mode_t old = umask(022);
  ASSERT_EQ(write_output((d / "report.md").c_str(), "hello\n", 6), 0);
  umask(old);
  EXPECT_EQ(slurp(d / "report.md"), "hello\n");
  struct stat st;
  ASSERT_EQ(stat((d / "report.md").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  EXPECT_EQ(listing(d.path), "report.md\n");
}

TEST(WriteOutput, ReplacesAnExistingFileKeepingItsMode) {
  temp_dir d;
  spill(d / "out", "a much longer earlier text\n");
  chmod((d / "out").c_str(), 0640);
  ASSERT_EQ(write_output((d / "out").c_str(), "new", 3), 0);
  EXPECT_EQ(slurp(d / "out"), "new");
  struct stat st;
  ASSERT_EQ(stat((d / "out").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_EQ(listing(d.path), "out\n");
}

TEST(WriteOutput, WritesThroughASymbolicLink) {
  temp_dir d;
  spill(d / "real", "old");
  ASSERT_EQ(symlink((d / "real").c_str(), (d / "link").c_str()), 0);
  ASSERT_EQ(write_output((d / "link").c_str(), "new", 3), 0);
  struct stat st;
  ASSERT_EQ(lstat((d / "link").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(slurp(d / "real"), "new");
}

TEST(WriteOutput, FailuresNameThePathAndCreateNothing) {
  temp_dir d;
  testing::internal::CaptureStderr();
  EXPECT_EQ(write_output((d / "no/such/dir/out").c_str(), "x", 1), -1);
  EXPECT_EQ(write_output(d.path.c_str(), "x", 1), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "veldra: cannot write " + (d / "no/such/dir/out") + ": No such file or directory\n" +
                "veldra: cannot write " + d.path + ": Is a directory\n");
  EXPECT_EQ(listing(d.path), "");
}

// A write that fails half-way (here: the file size limit) must leave neither
// the temporary file nor a truncated report, and an earlier file untouched.
TEST(WriteOutput, FailedWriteLeavesNoPartialFile) {
  temp_dir d;
  spill(d / "kept", "earlier report\n");
  for (const char *name : {"fresh", "kept"}) {
    pid_t pid = fork();
    if (pid == 0) {
      signal(SIGXFSZ, SIG_IGN);
      struct rlimit lim = {4096, 4096};
      setrlimit(RLIMIT_FSIZE, &lim);
      std::string big(1 << 20, 'r');
      _exit(write_output((d / name).c_str(), big.data(), big.size()) == -1 ? 0 : 1);
    }
    int st = 0;
    ASSERT_EQ(waitpid(pid, &st, 0), pid);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << name;
  }
  EXPECT_EQ(listing(d.path), "kept\n");
  EXPECT_EQ(slurp(d / "kept"), "earlier report\n");
}

// Devices are written in place (never replaced), and their failures count.
TEST(WriteOutput, DeviceFailureIsReported) {
  ASSERT_EQ(write_output("/dev/null", "x", 1), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(write_output("/dev/full", "x", 1), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "veldra: close failed on /dev/full: No space left on device\n");
  struct stat st;
  ASSERT_EQ(stat("/dev/null", &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
}

TEST(WriteFile, JoinsDirectoryAndName) {
  temp_dir d;
  ASSERT_EQ(write_file(d.path.c_str(), "meta.yaml", "id: x\n"), 0);
  EXPECT_EQ(slurp(d / "meta.yaml"), "id: x\n");
  std::string long_dir(PATH_MAX, 'd');
  testing::internal::CaptureStderr();
  EXPECT_EQ(write_file(long_dir.c_str(), "n", "x"), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "veldra: path too long for " + long_dir + "/n\n");
}

class EnterRulebaseDir : public testing::Test {
 protected:
  void SetUp() override {
    char *c = getcwd(nullptr, 0);
    start_ = c;
    free(c);
    spill(d_ / "rb.rb", "version=2\n");
    mkdir((d_ / "sub").c_str(), 0755);
    spill(d_ / "sub/inner.rb", "version=2\n");
    char *real = realpath(d_.path.c_str(), nullptr);
    real_ = real;
    free(real);
  }
  void TearDown() override { ASSERT_EQ(chdir(start_.c_str()), 0); }
  std::string cwd() {
    char *c = getcwd(nullptr, 0);
    std::string s = c;
    free(c);
    return s;
  }
  temp_dir d_;
  std::string start_, real_;
};

TEST_F(EnterRulebaseDir, RelativePathEntersItsDirectory) {
  ASSERT_EQ(chdir(d_.path.c_str()), 0);
  std::string abs, saved;
  int changed = -1;
  enter_rulebase_dir("sub/inner.rb", abs, saved, changed);
  EXPECT_EQ(changed, 1);
  EXPECT_EQ(abs, real_ + "/sub/inner.rb");
  EXPECT_EQ(saved, real_);
  EXPECT_EQ(cwd(), real_ + "/sub");
}

TEST_F(EnterRulebaseDir, BareNameStaysInTheSameDirectory) {
  ASSERT_EQ(chdir(d_.path.c_str()), 0);
  std::string abs, saved;
  int changed = -1;
  enter_rulebase_dir("rb.rb", abs, saved, changed);
  EXPECT_EQ(changed, 1);
  EXPECT_EQ(abs, real_ + "/rb.rb");
  EXPECT_EQ(cwd(), real_);
}

TEST_F(EnterRulebaseDir, UnresolvablePathIsKeptAsGiven) {
  std::string abs, saved;
  int changed = -1;
  enter_rulebase_dir("no/such/file.rb", abs, saved, changed);
  EXPECT_EQ(changed, 0);
  EXPECT_EQ(abs, "no/such/file.rb");
  EXPECT_EQ(cwd(), start_);
}

TEST(Progress, OnlyFromFiveHundredSamples) {
  testing::internal::CaptureStderr();
  progress(499, 499, nullptr);
  progress(0, 499, nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  testing::internal::CaptureStderr();
  progress(500, 500, nullptr);
  progress(500, 1234, nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "\rveldra: 500/500 samples\rveldra: 500/1234 samples");
}

}  // namespace
