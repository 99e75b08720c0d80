// The command line of qor-host.
//
// Thread rule: plain values and stateless functions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "binding/maybe.h"

namespace qor::host {

struct HostOptions {
  std::string plugin;  // empty: the libqor_store.so built beside qor-host
  std::string listenHost = "127.0.0.1";
  uint16_t listenPort = 8470;  // 0: a free port
  std::string password;        // --password; empty: see ResolvePassword
  std::string passwordFile;    // --password-file
  std::string credentials;     // empty: the default path (see DefaultCredentialsPath)
  std::string scenario;        // empty: no scenario
  bool demo = false;           // the scenario of examples/demo, storefront stub included
  std::optional<std::string> storefront;
  uint32_t logLevel = 0;  // lowest plug-in log level written to standard error; 4 writes none
  bool help = false;
};

// Parses the arguments after the program name. Each option takes its value as the next
// argument or after "=" ("--listen=127.0.0.1:0"). Fails (status 400) with a message naming
// the option, e.g. "Unknown option '--lisen'" or "--listen: expected HOST:PORT".
MaybeType<Failure, HostOptions> ParseHostOptions(const std::vector<std::string>& arguments);

// The password of the user "qor": --password, else the first line of --password-file, else
// the environment variable QOR_HOST_PASSWORD, else a random one per start. Fails (status 400)
// when the file cannot be read or holds no password.
MaybeType<Failure, std::string> ResolvePassword(const HostOptions& options);

// "qor-host.credentials.json" in $XDG_RUNTIME_DIR when it names a directory, otherwise in the
// working directory.
std::string DefaultCredentialsPath();

// The text printed by --help: every option and the control API.
std::string HelpText();

}  // namespace qor::host
