// qor-bind run as a separate process: arguments, format sniffing, output, messages and exit
// statuses.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern char** environ;

namespace {

struct ToolRun {
  int status = -1;  // exit status, or -1 when the process did not exit normally
  std::string out;
  std::string err;
};

class TempFile {
 public:
  explicit TempFile(const std::string& content = {}) {
    char name[] = "/tmp/qor-bind-test-XXXXXX";
    const int fd = mkstemp(name);
    path_ = name;
    if (fd >= 0) {
      std::size_t done = 0;
      while (done < content.size()) {
        const ssize_t wrote = write(fd, content.data() + done, content.size() - done);
        if (wrote <= 0) break;
        done += static_cast<std::size_t>(wrote);
      }
      close(fd);
    }
  }
  ~TempFile() { unlink(path_.c_str()); }
  const std::string& Path() const { return path_; }
  std::string Read() const {
    std::ifstream in(path_, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

 private:
  std::string path_;
};

// Runs qor-bind with `args`, `input` on standard input, and collects what it writes.
ToolRun RunTool(const std::vector<std::string>& args, const std::string& input = {}) {
  TempFile in(input), out, err;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, in.Path().c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.Path().c_str(), O_WRONLY | O_TRUNC, 0);
  posix_spawn_file_actions_addopen(&actions, 2, err.Path().c_str(), O_WRONLY | O_TRUNC, 0);
  std::vector<std::string> argv0 = {QOR_BIND_PATH};
  argv0.insert(argv0.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : argv0)
    argv.push_back(arg.data());
  argv.push_back(nullptr);

  ToolRun run;
  pid_t pid = 0;
  if (posix_spawn(&pid, QOR_BIND_PATH, &actions, nullptr, argv.data(), environ) != 0) {
    posix_spawn_file_actions_destroy(&actions);
    ADD_FAILURE() << "cannot start " << QOR_BIND_PATH;
    return run;
  }
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status)) run.status = WEXITSTATUS(status);
  run.out = out.Read();
  run.err = err.Read();
  return run;
}

std::string Bytes(std::initializer_list<int> bytes) {
  std::string out;
  for (int b : bytes)
    out.push_back(static_cast<char>(b));
  return out;
}

TEST(QorBind, WritesEachFormatAsJson) {
  struct Row {
    std::vector<std::string> args;
    std::string input;
    std::string out;
  };
  const Row rows[] = {
      {{}, R"({"b":1,"a":[true,null,-2,2.50]})", "{\"a\":[true,null,-2,2.5],\"b\":1}\n"},
      {{}, " \n [1]", "[1]\n"},
      // MessagePack is recognised by its first byte.
      {{},
       Bytes({0x82, 0xA1, 'z', 0x01, 0xA1, 'a', 0x92, 0xC3, 0xC4, 0x01, 0xFF}),
       "{\"a\":[true,\"/w==\"],\"z\":1}\n"},
      // YAML by its leading "---".
      {{}, "---\na: yes\nb: [1, -7, 2.5, '42']\n", "{\"a\":true,\"b\":[1,-7,2.5,\"42\"]}\n"},
      // Anything else is JSON.
      {{}, "42", "42\n"},
      {{}, "", "null\n"},
      {{"--from", "yaml"}, "a: b\n", "{\"a\":\"b\"}\n"},
      {{"--from", "msgpack"}, Bytes({0x05}), "5\n"},
      {{"--pretty"},
       R"({"b":[1,{}],"a":{"k":"v"}})",
       "{\n    \"a\": {\n        \"k\": \"v\"\n    },\n    \"b\": [\n        1,\n        {}\n    "
       "]\n}\n"},
      {{"-"}, "[true]", "[true]\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.input);
    const ToolRun run = RunTool(row.args, row.input);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, row.out);
    EXPECT_EQ(run.err, "");
  }
}

TEST(QorBind, ReadsTheNamedFile) {
  TempFile file("---\nlist: [a, b]\n");
  const ToolRun run = RunTool({"--pretty", file.Path()}, "ignored");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "{\n    \"list\": [\n        \"a\",\n        \"b\"\n    ]\n}\n");
}

// A reader's failure (its own message is its codec's business) exits with 1 and writes
// nothing to standard output.
TEST(QorBind, ExitsWithOneWhenTheInputCannotBeRead) {
  for (const std::string& input : {std::string("[1,]"), Bytes({0x91, 0x01, 0x02})}) {
    const ToolRun run = RunTool({}, input);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err, "");
  }
  const ToolRun missing = RunTool({"/nonexistent/qor-bind-input"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err,
            "qor-bind: cannot open '/nonexistent/qor-bind-input': No such file or directory\n");
}

TEST(QorBind, RefusesBadArgumentsWithStatusTwo) {
  struct Row {
    std::vector<std::string> args;
    std::string firstLine;
  };
  const Row rows[] = {
      {{"--bogus"}, "qor-bind: unknown option '--bogus'"},
      {{"--from"}, "qor-bind: --from needs a format: json, msgpack or yaml"},
      {{"--from", "xml"}, "qor-bind: unknown format 'xml' (expected json, msgpack or yaml)"},
      {{"a.json", "b.json"}, "qor-bind: only one FILE may be given"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.firstLine);
    const ToolRun run = RunTool(row.args, "[]");
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, row.firstLine + "\nTry 'qor-bind --help'.\n");
  }
}

TEST(QorBind, HelpExplainsTheTool) {
  for (const char* flag : {"--help", "-h"}) {
    const ToolRun run = RunTool({flag});
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(
        run.out.starts_with("Usage: qor-bind [--from json|msgpack|yaml] [--pretty] [FILE]\n"))
        << run.out;
    EXPECT_NE(run.out.find("Exit status"), std::string::npos);
    EXPECT_EQ(run.err, "");
  }
}

}  // namespace
