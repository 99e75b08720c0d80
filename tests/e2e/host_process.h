// The harness of every test that starts qor-host or qor-storefront: a qor-host child process
// on a free loopback port, its credentials, a small HTTP client and a command runner.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qor::host::testing {

struct HttpResult {
  long status = 0;
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;  // names in lower case
  std::string error;                                         // curl's, when no answer came

  std::optional<std::string> Header(const std::string& lowerName) const;
};

struct HttpCall {
  std::string method = "GET";
  std::string target;  // path and query
  std::string body;
  std::vector<std::string> headers;  // "Name: value" lines
  bool authenticate = true;
};

class HostProcess {
 public:
  // Starts `binary` with --listen 127.0.0.1:0 and --credentials in a fresh directory, then
  // `arguments` (which may override them; the host is then waited for at the fresh path
  // only until it ends) (and --scenario with `scenario` written there, when given), and waits until
  // the credentials file appears (or the process ends: Url() is then empty).
  static std::unique_ptr<HostProcess> Start(const std::string& binary,
                                            std::vector<std::string> arguments,
                                            const std::optional<std::string>& scenario = {});
  HostProcess(const HostProcess&) = delete;
  HostProcess& operator=(const HostProcess&) = delete;
  ~HostProcess();

  const std::string& Url() const { return url_; }
  const std::string& Password() const { return password_; }
  const std::string& CredentialsPath() const { return credentialsPath_; }
  const std::string& Directory() const { return directory_; }
  pid_t Pid() const { return pid_; }
  // "127.0.0.1:PORT"
  std::string HostPort() const { return url_.substr(7); }
  // Everything the process wrote to standard error so far (read after it ended).
  std::string Stderr() const;

  HttpResult Call(const HttpCall& call) const;
  HttpResult Get(const std::string& target) const { return Call({"GET", target}); }

  // Sends `signal` and waits for the process; returns its exit status (or -1 when it did not
  // exit normally).
  int SignalAndWait(int signal);

 private:
  HostProcess() = default;
  pid_t pid_ = -1;
  std::string directory_;
  std::string credentialsPath_;
  std::string url_;
  std::string password_;
};

// A raw TCP connection to a host, for what a well-behaved HTTP client would not send (and for
// streams read as they come).
class RawConnection {
 public:
  explicit RawConnection(const HostProcess& host);
  ~RawConnection();
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;

  bool Send(std::string_view bytes);
  // Sends a request head: `method target HTTP/1.1` (or `version`), the host's Host and
  // credentials, then `headers` (whole "Name: value\r\n" lines) and the blank line.
  bool SendHead(const std::string& method, const std::string& target,
                const std::string& headers = "", const std::string& version = "HTTP/1.1");
  // Reads until `done` holds for everything read so far, or the host closes the connection,
  // or 15 s pass in silence; returns everything read so far.
  std::string ReadUntil(const std::function<bool(const std::string&)>& done = {});
  // True when the host has closed the connection (reading what it sent before).
  bool ClosedByHost();

 private:
  const HostProcess& host_;
  int fd_ = -1;
  bool connected_ = false;
  bool closed_ = false;
  std::string read_;
};

// "Authorization: Basic ...\r\n" with the host's credentials.
std::string AuthorizationLine(const HostProcess& host);
// The statuses of the answers in `reply`, in order ("HTTP/1.1 200 OK..." gives 200).
std::vector<int> Statuses(const std::string& reply);

// A GET of `url` without the host's credentials, with "Name: value" header lines.
HttpResult HttpGet(const std::string& url, std::vector<std::string> headers = {});
// Runs `command` with a shell: its exit status and everything it wrote to either output.
std::pair<int, std::string> RunCommand(const std::string& command);

// Writes `text` to `path`; reads all of `path` (empty when it cannot be read).
void WriteFile(const std::string& path, const std::string& text);
std::string ReadFile(const std::string& path);
bool FileExists(const std::string& path);

// Every input of `cases` is refused by `read` with the message beside it.
template <typename Input, typename Read>
void ExpectRefusals(Read&& read, const std::vector<std::pair<Input, std::string>>& cases) {
  for (const auto& [input, message] : cases) {
    SCOPED_TRACE(message);
    const auto result = read(input);
    EXPECT_FALSE(result);
    EXPECT_EQ(result.ErrorMessage(), message);
  }
}

}  // namespace qor::host::testing
