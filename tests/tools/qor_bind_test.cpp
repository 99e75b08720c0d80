// qor-bind run as a separate process: arguments, format sniffing, output, messages and exit
// statuses. What each reader accepts and its messages are the codecs' own tests' business.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

// A file under /tmp holding `content`, removed with the object.
class TempFile {
 public:
  explicit TempFile(const std::string& content = {}) {
    char name[] = "/tmp/qor-bind-test-XXXXXX";
    close(mkstemp(name));
    path_ = name;
    std::ofstream(path_, std::ios::binary) << content;
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

struct ToolRun {
  int status = -1;  // exit status, or -1 when the process did not exit normally
  std::string out;
  std::string err;
};

// Runs qor-bind with `args` (plain words, no quotes), `input` on standard input.
ToolRun RunTool(const std::vector<std::string>& args, const std::string& input = {}) {
  TempFile in(input), out, err;
  std::string command = "'" QOR_BIND_PATH "'";
  for (const std::string& arg : args)
    command += " '" + arg + "'";
  command += " <" + in.Path() + " >" + out.Path() + " 2>" + err.Path();
  const int status = std::system(command.c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out.Read(), err.Read()};
}

TEST(QorBind, ConvertsToJsonOrExitsWithTheReason) {
  const std::string usage = "\nTry 'qor-bind --help'.\n";
  TempFile file("---\nlist: [a, b]\n");
  struct Row {
    std::vector<std::string> args;
    std::string input;
    int status;
    std::string out;
    std::string err;  // "?": any message
  };
  const Row rows[] = {
      {{}, R"({"b":1,"a":[true,null,-2,2.50]})", 0, "{\"a\":[true,null,-2,2.5],\"b\":1}\n", ""},
      {{}, " \n [1]", 0, "[1]\n", ""},
      // MessagePack is recognised by its first byte, YAML by its leading "---", anything else
      // is JSON.
      {{},
       "\x82\xA1z\x01\xA1"
       "a\x92\xC3\xC4\x01\xFF",
       0,
       "{\"a\":[true,\"/w==\"],\"z\":1}\n",
       ""},
      {{}, "---\na: yes\nb: [1, '42']\n", 0, "{\"a\":true,\"b\":[1,\"42\"]}\n", ""},
      {{}, "42", 0, "42\n", ""},
      {{}, "", 0, "null\n", ""},
      {{"--from", "yaml"}, "a: b\n", 0, "{\"a\":\"b\"}\n", ""},
      {{"--from", "msgpack"}, "\x05", 0, "5\n", ""},
      {{"--pretty", file.Path()},
       "ignored",
       0,
       "{\n    \"list\": [\n        \"a\",\n        \"b\"\n    ]\n}\n",
       ""},
      {{"-"}, "[true]", 0, "[true]\n", ""},
      // A reader's failure exits with 1 and writes nothing to standard output.
      {{}, "[1,]", 1, "", "?"},
      {{}, "\x91\x01\x02", 1, "", "Extra MessagePack data at position 2 after the first value.\n"},
      {{"/nonexistent/qor-bind-input"},
       "",
       1,
       "",
       "qor-bind: cannot open '/nonexistent/qor-bind-input': No such file or directory\n"},
      // Bad arguments exit with 2.
      {{"--bogus"}, "[]", 2, "", "qor-bind: unknown option '--bogus'" + usage},
      {{"--from"}, "[]", 2, "", "qor-bind: --from needs a format: json, msgpack or yaml" + usage},
      {{"--from", "xml"},
       "[]",
       2,
       "",
       "qor-bind: unknown format 'xml' (expected json, msgpack or yaml)" + usage},
      {{"a.json", "b.json"}, "[]", 2, "", "qor-bind: only one FILE may be given" + usage},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.input);
    const ToolRun run = RunTool(row.args, row.input);
    EXPECT_EQ(run.status, row.status) << run.err;
    EXPECT_EQ(run.out, row.out);
    if (row.err == "?") {
      EXPECT_NE(run.err, "");
    } else {
      EXPECT_EQ(run.err, row.err);
    }
  }
}

TEST(QorBind, HelpExplainsTheTool) {
  const ToolRun run = RunTool({"-h"});
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(run.out.starts_with("Usage: qor-bind [--from json|msgpack|yaml] [--pretty] [FILE]\n"))
      << run.out;
}

}  // namespace
