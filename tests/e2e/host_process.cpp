#include "tests/e2e/host_process.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <rapidjson/document.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "host/http/access.h"

namespace qor::host::testing {
namespace {

size_t OnBody(char* data, size_t size, size_t count, void* user) {
  static_cast<HttpResult*>(user)->body.append(data, size * count);
  return size * count;
}

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
  const std::string line(data, size * count);
  const size_t colon = line.find(':');
  if (colon != std::string::npos && !line.starts_with("HTTP/")) {
    std::string name = line.substr(0, colon);
    for (char& c : name)
      c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const size_t start = line.find_first_not_of(' ', colon + 1);
    const size_t end = line.find_last_not_of("\r\n") + 1;
    static_cast<HttpResult*>(user)->headers.emplace_back(
        std::move(name), start < end ? line.substr(start, end - start) : "");
  }
  return size * count;
}

}  // namespace

std::optional<std::string> HttpResult::Header(const std::string& lowerName) const {
  for (const auto& [name, value] : headers) {
    if (name == lowerName) return value;
  }
  return std::nullopt;
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool FileExists(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0;
}

std::unique_ptr<HostProcess> HostProcess::Start(const std::string& binary,
                                                std::vector<std::string> arguments,
                                                const std::optional<std::string>& scenario) {
  std::unique_ptr<HostProcess> started(new HostProcess);
  HostProcess& process = *started;
  char pattern[] = "/tmp/qor-host-e2e-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return started;
  process.directory_ = pattern;
  process.credentialsPath_ = process.directory_ + "/credentials.json";
  if (scenario) {
    const std::string scenarioPath = process.directory_ + "/scenario.json";
    WriteFile(scenarioPath, *scenario);
    arguments.insert(arguments.end(), {"--scenario", scenarioPath});
  }
  // Before the caller's own, which take precedence.
  arguments.insert(arguments.begin(),
                   {"--listen", "127.0.0.1:0", "--credentials", process.credentialsPath_});
  const std::string stderrPath = process.directory_ + "/stderr.txt";

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(binary.c_str()));
  for (std::string& argument : arguments)
    argv.push_back(argument.data());
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid < 0) return started;
  if (pid == 0) {
    const int err = open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int out = open("/dev/null", O_WRONLY);
    if (err >= 0) dup2(err, 2);
    if (out >= 0) dup2(out, 1);
    execv(binary.c_str(), argv.data());
    _exit(127);
  }
  process.pid_ = pid;

  // Waiting for start-up (not a timing assertion): the file appears once the host listens.
  for (int i = 0; i < 3000; ++i) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) {
      process.pid_ = -1;
      return started;  // ended early: Url() stays empty, Stderr() tells why
    }
    rapidjson::Document credentials;
    credentials.Parse(ReadFile(process.credentialsPath_).c_str());
    if (!credentials.HasParseError() && credentials.IsObject() && credentials.HasMember("url") &&
        credentials.HasMember("password")) {
      process.url_ = credentials["url"].GetString();
      process.password_ = credentials["password"].GetString();
      return started;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return started;
}

HostProcess::~HostProcess() {
  // Stopped the way a developer stops it, so that it shuts down (and writes what a coverage
  // build records); killed when it does not end within a minute.
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    for (int i = 0; i < 6000 && pid_ > 0; ++i) {
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) pid_ = -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    SignalAndWait(SIGKILL);
  }
  if (!directory_.empty()) RunCommand("rm -rf " + directory_);
}

std::string HostProcess::Stderr() const {
  return ReadFile(directory_ + "/stderr.txt");
}

int HostProcess::SignalAndWait(int signal) {
  if (pid_ <= 0) return -1;
  kill(pid_, signal);
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

namespace {

HttpResult Perform(const std::string& url, const HttpCall& call, const std::string& password) {
  HttpResult result;
  CURL* curl = curl_easy_init();
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, call.method.c_str());
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, 120L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &OnBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &result);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &OnHeader);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &result);
  if (call.method == "HEAD") curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
  if (!call.body.empty() || call.method == "POST" || call.method == "PUT") {
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, call.body.data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(call.body.size()));
  }
  const std::string userPassword = "qor:" + password;
  if (call.authenticate) {
    curl_easy_setopt(curl, CURLOPT_HTTPAUTH, CURLAUTH_BASIC);
    curl_easy_setopt(curl, CURLOPT_USERPWD, userPassword.c_str());
  }
  curl_slist* headers = curl_slist_append(nullptr, "Expect:");
  for (const std::string& line : call.headers)
    headers = curl_slist_append(headers, line.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  const CURLcode code = curl_easy_perform(curl);
  if (code != CURLE_OK) result.error = curl_easy_strerror(code);
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &result.status);
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
  return result;
}

}  // namespace

HttpResult HostProcess::Call(const HttpCall& call) const {
  return Perform(url_ + call.target, call, password_);
}

HttpResult HttpGet(const std::string& url, std::vector<std::string> headers) {
  HttpCall call{"GET", "", "", std::move(headers), false};
  return Perform(url, call, "");
}

RawConnection::RawConnection(const HostProcess& host) : host_(host) {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  timeval timeout{15, 0};
  setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(std::stoi(host.HostPort().substr(10))));
  inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
  connected_ = connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
}

RawConnection::~RawConnection() {
  if (fd_ >= 0) close(fd_);
}

bool RawConnection::Send(std::string_view bytes) {
  return connected_ &&
         send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

bool RawConnection::SendHead(const std::string& method, const std::string& target,
                             const std::string& headers, const std::string& version) {
  return Send(method + " " + target + " " + version + "\r\nHost: " + host_.HostPort() + "\r\n" +
              AuthorizationLine(host_) + headers + "\r\n");
}

std::string RawConnection::ReadUntil(const std::function<bool(const std::string&)>& done) {
  char buffer[4096];
  while (!closed_ && !(done && done(read_))) {
    const ssize_t got = recv(fd_, buffer, sizeof(buffer), 0);
    if (got <= 0) {
      closed_ = got == 0;
      break;  // closed, or silent for too long
    }
    read_.append(buffer, static_cast<size_t>(got));
  }
  return read_;
}

bool RawConnection::ClosedByHost() {
  char buffer[4096];
  for (;;) {
    pollfd poll_fd{fd_, POLLIN, 0};
    if (poll(&poll_fd, 1, 0) <= 0) return false;
    const ssize_t got = recv(fd_, buffer, sizeof(buffer), MSG_DONTWAIT);
    if (got <= 0) return true;
    read_.append(buffer, static_cast<size_t>(got));
  }
}

std::string AuthorizationLine(const HostProcess& host) {
  return "Authorization: Basic " + EncodeBase64("qor:" + host.Password()) + "\r\n";
}

std::vector<int> Statuses(const std::string& reply) {
  std::vector<int> statuses;
  for (size_t at = reply.find("HTTP/1.1 "); at != std::string::npos;
       at = reply.find("HTTP/1.1 ", at + 1)) {
    statuses.push_back(std::atoi(reply.c_str() + at + 9));
  }
  return statuses;
}

std::pair<int, std::string> RunCommand(const std::string& command) {
  std::FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return {-1, ""};
  std::string output;
  char buffer[4096];
  size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0)
    output.append(buffer, got);
  const int status = pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

}  // namespace qor::host::testing
