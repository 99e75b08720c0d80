// The harness of every test that starts qor-host or qor-storefront: a qor-host child process
// on a free loopback port, its credentials, a small HTTP client and a command runner.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
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
  std::optional<std::string> password;  // instead of the host's
};

class HostProcess {
 public:
  // Starts `binary` with --listen 127.0.0.1:0 and --credentials in a fresh directory, then
  // `arguments` (which may override them; the host is then waited for at the fresh path
  // only until it ends) (and --scenario with `scenario` written there, when given), and waits until
  // the credentials file appears (or the process ends).
  static std::optional<HostProcess> Start(const std::string& binary,
                                          std::vector<std::string> arguments,
                                          const std::optional<std::string>& scenario = {});
  HostProcess(HostProcess&& other) noexcept;
  HostProcess& operator=(HostProcess&&) = delete;
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

// A GET of `url` without the host's credentials, with "Name: value" header lines.
HttpResult HttpGet(const std::string& url, std::vector<std::string> headers = {});
// Runs `command` with a shell: its exit status and everything it wrote to either output.
std::pair<int, std::string> RunCommand(const std::string& command);

// Writes `text` to `path`.
void WriteFile(const std::string& path, const std::string& text);
bool FileExists(const std::string& path);

}  // namespace qor::host::testing
