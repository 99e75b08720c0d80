/* qor-bench-mhd: the floor of the developer host's HTTP stack. Serves one fixed reply (the
 * bytes of a file, as application/json) to every request, with the same libmicrohttpd
 * threading mode as qor-host (one thread of its own running an epoll loop, the connection
 * pool of the same size), on 127.0.0.1 only, until it receives SIGINT or SIGTERM.
 *
 * usage: qor-bench-mhd PORT BODY_FILE [STATUS] (status default 200) */
#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static char* body;
static size_t bodyLength;
static unsigned int status = MHD_HTTP_OK;
static volatile sig_atomic_t stopping;

static enum MHD_Result Answer(void* closure, struct MHD_Connection* connection, const char* url,
                              const char* method, const char* version, const char* upload,
                              size_t* uploadSize, void** state) {
  (void)closure;
  (void)url;
  (void)method;
  (void)version;
  (void)upload;
  // Answering in the first call would be an early reply, which closes the connection; the
  // first call only marks the request as seen (as qor-host does once the request is read).
  static int seen;
  if (*state == NULL) {
    *state = &seen;
    return MHD_YES;
  }
  if (*uploadSize != 0) {
    *uploadSize = 0;
    return MHD_YES;
  }
  struct MHD_Response* response =
      MHD_create_response_from_buffer(bodyLength, body, MHD_RESPMEM_PERSISTENT);
  if (response == NULL) return MHD_NO;
  if (bodyLength != 0)
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, "application/json");
  enum MHD_Result queued = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  return queued;
}

static void Stop(int signal) {
  (void)signal;
  stopping = 1;
}

static int ReadBody(const char* path) {
  FILE* file = fopen(path, "rb");
  if (file == NULL) return 0;
  size_t capacity = 4096;
  body = malloc(capacity);
  size_t got;
  while (body != NULL && (got = fread(body + bodyLength, 1, capacity - bodyLength, file)) > 0) {
    bodyLength += got;
    if (bodyLength == capacity) {
      capacity *= 2;
      char* larger = realloc(body, capacity);
      if (larger == NULL) free(body);
      body = larger;
    }
  }
  fclose(file);
  return body != NULL;
}

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) {
    fprintf(stderr, "usage: qor-bench-mhd PORT BODY_FILE [STATUS]\n");
    return 2;
  }
  const long port = strtol(argv[1], NULL, 10);
  if (port <= 0 || port > 65535) {
    fprintf(stderr, "qor-bench-mhd: invalid port '%s'\n", argv[1]);
    return 2;
  }
  if (argc == 4) {
    const long code = strtol(argv[3], NULL, 10);
    if (code < 200 || code > 599) {
      fprintf(stderr, "qor-bench-mhd: invalid status '%s'\n", argv[3]);
      return 2;
    }
    status = (unsigned int)code;
  }
  if (!ReadBody(argv[2])) {
    fprintf(stderr, "qor-bench-mhd: cannot read '%s'\n", argv[2]);
    return 1;
  }
  struct sockaddr_in address;
  memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_port = htons((unsigned short)port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  struct MHD_Daemon* daemon =
      MHD_start_daemon(MHD_USE_EPOLL | MHD_USE_ERROR_LOG, (unsigned short)port, NULL, NULL, &Answer,
                       NULL, MHD_OPTION_SOCK_ADDR, &address, MHD_OPTION_CONNECTION_LIMIT, 128u,
                       MHD_OPTION_CONNECTION_MEMORY_LIMIT, (size_t)(128u << 10), MHD_OPTION_END);
  if (daemon == NULL) {
    fprintf(stderr, "qor-bench-mhd: cannot listen on port %ld\n", port);
    free(body);
    return 1;
  }
  signal(SIGINT, Stop);
  signal(SIGTERM, Stop);
  const union MHD_DaemonInfo* info = MHD_get_daemon_info(daemon, MHD_DAEMON_INFO_EPOLL_FD);
  struct pollfd ready = {info != NULL ? info->epoll_fd : -1, POLLIN, 0};
  while (!stopping) {
    MHD_UNSIGNED_LONG_LONG timeout = 0;
    int millis = 1000;
    if (MHD_get_timeout(daemon, &timeout) == MHD_YES && timeout < (MHD_UNSIGNED_LONG_LONG)millis)
      millis = (int)timeout;
    poll(&ready, 1, millis);
    MHD_run(daemon);
  }
  MHD_stop_daemon(daemon);
  free(body);
  return 0;
}
