// The mx7410-sim program: its command line, and the real executable serving,
// verifying and cleaning up.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>

#include "HostPort.h"
#include "sim/SimCommandLine.h"

extern char** environ;

namespace mx::sim::test {
namespace {

namespace fs = std::filesystem;

struct ParseCase {
  std::vector<std::string> args;
  std::function<void(const CommandLine&)> check;
};

TEST(SimCommandLine, ParsesEveryOption) {
  const ParseCase cases[] = {
      {{"--version-major", "2", "--version-minor=3", "--version-bytes", "0A0B0C 0d0e0f"},
       [](const CommandLine& l) {
         EXPECT_EQ(l.options.major, 2);
         EXPECT_EQ(l.options.minor, 3);
         EXPECT_EQ(l.options.versionBytes, (std::array<std::uint8_t, 6>{0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F}));
       }},
      {{"--baud", "38400", "--flash-ms", "5", "--split-gap", "7"},
       [](const CommandLine& l) {
         EXPECT_EQ(l.options.baud, 38400u);
         EXPECT_EQ(l.options.flashWriteTime, 5ms);
         EXPECT_EQ(l.options.splitReplyGap, 7ms);
       }},
      {{"--refuse-block", "3:2", "--refuse-block=5:1", "--drop-reply", "4", "--refuse-erase", "2"},
       [](const CommandLine& l) {
         EXPECT_EQ(l.options.refuseBlock, (std::map<int, int>{{3, 2}, {5, 1}}));
         EXPECT_EQ(l.options.dropReplyToBlock, 4);
         EXPECT_EQ(l.options.refuseErase, 2);
       }},
      {{"--noise", "12:34:00", "--xoff-after", "2:150", "--hang-up-after", "6"},
       [](const CommandLine& l) {
         EXPECT_EQ(l.options.noiseBeforeReplies, Hex("12 34 00"));
         EXPECT_EQ(l.options.xoffAfterBlock, 2);
         EXPECT_EQ(l.options.xoffHold, 150ms);
         EXPECT_EQ(l.options.hangUpAfterBlock, 6);
       }},
      {{"--silent", "--double-version", "3", "--power-on-after", "100", "--power-on-bad-checksum", "--log"},
       [](const CommandLine& l) {
         EXPECT_TRUE(l.options.silent);
         EXPECT_EQ(l.options.doubleVersionReplies, 3);
         EXPECT_EQ(l.options.powerOnAfter, 100ms);
         EXPECT_TRUE(l.options.powerOnBadChecksum);
         EXPECT_TRUE(l.options.logFrames);
       }},
      {{"--port-dir", "/p", "--name", "simX", "--dump-hex", "a.hex", "--dump-bin", "a.bin", "--verify", "v.hex",
        "--exit-after-end"},
       [](const CommandLine& l) {
         EXPECT_EQ(l.portDirectory, "/p");
         EXPECT_EQ(l.name, "simX");
         EXPECT_EQ(l.dumpHex, "a.hex");
         EXPECT_EQ(l.dumpBinary, "a.bin");
         EXPECT_EQ(l.verify, "v.hex");
         EXPECT_TRUE(l.exitAfterEnd);
         EXPECT_FALSE(l.help);
       }},
      {{}, [](const CommandLine& l) { EXPECT_EQ(l.options.major, 1); }},
      {{"-h"}, [](const CommandLine& l) { EXPECT_TRUE(l.help); }},
      {{"--baud", "010", "--refuse-erase", "1", "--refuse-erase", "3"},  // decimal; the last wins
       [](const CommandLine& l) {
         EXPECT_EQ(l.options.baud, 10u);
         EXPECT_EQ(l.options.refuseErase, 3);
       }},
  };
  for (const ParseCase& c : cases) {
    SCOPED_TRACE(c.args.empty() ? "(none)" : c.args[0]);
    std::string error;
    const auto line = ParseCommandLine(c.args, &error);
    ASSERT_TRUE(line) << error;
    c.check(*line);
  }
}

TEST(SimCommandLine, RejectsBadArguments) {
  const struct {
    std::vector<std::string> args;
    const char* mentions;
  } cases[] = {
      {{"--bogus"}, "unknown option"},
      {{"--baud"}, "needs a value"},
      {{"--baud", "fast"}, "--baud"},
      {{"--version-major", "256"}, "--version-major"},
      {{"--version-major", "125"}, "XOFF"},
      {{"--version-bytes", "0102"}, "12 hex digits"},
      {{"--refuse-block", "0:1"}, "--refuse-block"},
      {{"--xoff-after", "2"}, "--xoff-after"},
      {{"--noise", "00 7D"}, "7D"},
      {{"--silent=yes"}, "takes no value"},
      {{"--power-on-bad-checksum"}, "--power-on-after"},
      {{"--name=", "--log"}, "--name: empty value"},  // empty, not the next argument
      {{"--baud", "0x10"}, "--baud"},
      {{"serve"}, "unexpected argument 'serve'"},
      {{"--verify-serial", "0x10:u32le"}, "--verify-serial needs --verify"},
      {{"--verify", "v.hex", "--verify-serial", "0x10:u24le"}, "ADDR:FORMAT"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0]);
    std::string error;
    EXPECT_FALSE(ParseCommandLine(c.args, &error));
    EXPECT_NE(error.find(c.mentions), std::string::npos) << error;
  }
}

TEST(SimCommandLine, HelpDocumentsEveryOption) {
  const std::string help = HelpText();
  for (const char* option :
       {"--version-major", "--version-minor", "--version-bytes",  "--baud",           "--flash-ms",
        "--refuse-block",  "--drop-reply",    "--refuse-erase",   "--noise",          "--split-gap",
        "--xoff-after",    "--silent",        "--double-version", "--power-on-after", "--power-on-bad-checksum",
        "--hang-up-after", "--log",           "--verify-serial",  "--port-dir",       "--name",
        "--dump-hex",      "--dump-bin",      "--verify",         "--exit-after-end", "--help"}) {
    EXPECT_NE(help.find(std::string("  ") + option + " "), std::string::npos) << option;
  }
}

// The program run as a child, its stdout on a pipe and its stderr in a file.
class Program {
 public:
  Program(const std::vector<std::string>& args, const std::string& stderrPath, std::vector<std::string> extraEnv = {}) {
    int out[2];
    if (::pipe(out) != 0) throw std::runtime_error("pipe");
    std::vector<std::string> env(extraEnv);
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    std::vector<std::string> argv{MX7410_SIM_PROGRAM};
    argv.insert(argv.end(), args.begin(), args.end());
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], 1);
      const int err = ::open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      ::dup2(err, 2);
      ::execve(argv[0].c_str(), Pointers(argv).data(), Pointers(env).data());
      ::_exit(127);
    }
    ::close(out[1]);
    out_ = out[0];
  }
  ~Program() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    ::close(out_);
  }

  // The next line of stdout, without its newline; empty on time-out or EOF.
  std::string ReadLine(std::chrono::milliseconds timeout = 5000ms) {
    const auto deadline = Clock::now() + timeout;
    while (buffered_.find('\n') == std::string::npos) {
      if (!ReadSome(deadline)) return {};
    }
    const auto end = buffered_.find('\n');
    std::string line = buffered_.substr(0, end);
    buffered_.erase(0, end + 1);
    return line;
  }

  // Waits for the program to end (its stdout closes) and returns its exit
  // status; -1 when it does not end in time.
  int Finish(std::string* rest, std::chrono::milliseconds timeout = 5000ms) {
    const auto deadline = Clock::now() + timeout;
    while (ReadSome(deadline)) {
    }
    if (Clock::now() >= deadline) return -1;
    *rest = buffered_;
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
  }

  void Signal(int signal) { ::kill(pid_, signal); }

 private:
  static std::vector<char*> Pointers(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (std::string& s : strings) pointers.push_back(s.data());
    pointers.push_back(nullptr);
    return pointers;
  }

  // False at EOF or at the deadline.
  bool ReadSome(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd p{out_, POLLIN, 0};
    if (left <= 0ms || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    char chunk[512];
    const ssize_t n = ::read(out_, chunk, sizeof chunk);
    if (n <= 0) return false;
    buffered_.append(chunk, static_cast<std::size_t>(n));
    return true;
  }

  pid_t pid_ = -1;
  int out_ = -1;
  std::string buffered_;
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// "mx7410-sim: serving /dev/pts/N as LINK" -> LINK, checked against the port.
std::string PublishedLinkFrom(const std::string& line) {
  std::smatch match;
  if (!std::regex_match(line, match, std::regex("mx7410-sim: serving (/dev/pts/[0-9]+) as (.+)"))) return {};
  if (fs::read_symlink(match[2].str()).string() != match[1].str()) return {};
  return match[2].str();
}

TEST(SimProgram, ServesUntilSignalledAndRemovesItsLink) {
  const struct {
    const char* name;
    int signal;
    bool portDirOption;
  } cases[] = {
      {"SIGTERM, --port-dir", SIGTERM, true},
      {"SIGINT, MX7410_PORT_DIR", SIGINT, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir temp;
    const std::string ports = temp.File("ports");
    std::vector<std::string> args;
    if (c.portDirOption) args = {"--port-dir", ports};
    Program program(args, temp.File("stderr"), {"MX7410_PORT_DIR=" + ports});

    const std::string link = PublishedLinkFrom(program.ReadLine());
    ASSERT_EQ(link, (fs::path(ports) / "sim0").string());
    {
      HostPort port(link);
      EXPECT_EQ(port.Exchange(kVersionRequest, kDefaultVersionReply.size()), kDefaultVersionReply);
    }
    program.Signal(c.signal);
    std::string rest;
    EXPECT_EQ(program.Finish(&rest), 0) << ReadFile(temp.File("stderr"));
    EXPECT_FALSE(fs::is_symlink(fs::symlink_status(link)));
  }
}

TEST(SimProgram, ExitsAfterEndFrameAndReportsVerification) {
  const std::string workedExampleHex = ":100500000102030405060708090A0B0C0D0E0F551E\n:00000001FF\n";
  const struct {
    const char* name;
    std::string verifyFile;
    int status;
    const char* verdict;
    std::vector<std::string> serial;
  } cases[] = {
      {"match", workedExampleHex, 0, "memory matches", {}},
      {"mismatch", ":100500000102030405060708090A0B0C0D0E0F561D\n:00000001FF\n", 1, "memory does not match", {}},
      // 09 0A 0B 0C where the file has zeros: the board's own number.
      {"serial",
       ":100500000102030405060708000000000D0E0F5548\n:00000001FF\n",
       0,
       "serial number 202050057\nmx7410-sim: memory matches",
       {"--verify-serial", "0x0508:u32le"}},
      {"serial elsewhere", workedExampleHex, 1, "no dec:2 serial number", {"--verify-serial", "1288:dec:2"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir temp;
    std::ofstream(temp.File("verify.hex")) << c.verifyFile;
    std::vector<std::string> args{"--port-dir",
                                  temp.File("ports"),
                                  "--name",
                                  "board",
                                  "--exit-after-end",
                                  "--verify",
                                  temp.File("verify.hex"),
                                  "--dump-hex",
                                  temp.File("dump.hex"),
                                  "--dump-bin",
                                  temp.File("dump.bin")};
    args.insert(args.end(), c.serial.begin(), c.serial.end());
    Program program(args, temp.File("stderr"));
    const std::string link = PublishedLinkFrom(program.ReadLine());
    ASSERT_EQ(link, temp.File("ports/board"));
    {
      HostPort port(link);
      EXPECT_EQ(port.Exchange(kEraseFrame, kEraseAccepted.size()), kEraseAccepted);
      EXPECT_EQ(port.Exchange(kWorkedExample, kWriteAccepted.size()), kWriteAccepted);
      port.Write(kEndFrame);
      // The version request that follows the end frame is still answered.
      EXPECT_EQ(port.Exchange(kVersionRequest, kDefaultVersionReply.size()), kDefaultVersionReply);
    }
    std::string rest;
    EXPECT_EQ(program.Finish(&rest), c.status) << ReadFile(temp.File("stderr"));
    EXPECT_NE(rest.find(c.verdict), std::string::npos) << rest;
    EXPECT_EQ(ReadFile(temp.File("dump.hex")), workedExampleHex);
    EXPECT_EQ(ReadFile(temp.File("dump.bin")),
              std::string("\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0A\x0B\x0C\x0D\x0E\x0F\x55", 16));
    EXPECT_FALSE(fs::is_symlink(fs::symlink_status(link)));
  }
}

TEST(SimProgram, HelpAndBadOptions) {
  TempDir temp;
  {
    Program program({"--help"}, temp.File("stderr"));
    std::string out;
    EXPECT_EQ(program.Finish(&out), 0);
    EXPECT_NE(out.find("--exit-after-end"), std::string::npos);
  }
  {
    Program program({"--no-such-option"}, temp.File("stderr"));
    std::string out;
    EXPECT_EQ(program.Finish(&out), 2);
    EXPECT_NE(ReadFile(temp.File("stderr")).find("unknown option '--no-such-option'"), std::string::npos);
  }
}

}  // namespace
}  // namespace mx::sim::test
