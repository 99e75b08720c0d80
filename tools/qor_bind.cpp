// qor-bind: reads one JSON, MessagePack or YAML document and writes it as JSON.
//
//   qor-bind [--from json|msgpack|yaml] [--pretty] [FILE]
//
// The document comes from FILE, or from standard input when FILE is absent or "-". Without
// --from the format is sniffed: a first byte 0x80-0x9F or 0xDC-0xDF is MessagePack, a first
// non-space "{" or "[" JSON, a first non-space "---" YAML, anything else JSON. The result goes
// to standard output as JSON with one final newline (exit status 0). A document that does not
// read gives the reader's message on standard error and exit status 1; bad arguments give a
// message and exit status 2.
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "binding/json.h"
#include "binding/maybe.h"
#include "binding/msgpack.h"
#include "binding/yaml.h"
#include "foundation/format.h"

namespace {

constexpr std::string_view kUsage =
    "Usage: qor-bind [--from json|msgpack|yaml] [--pretty] [FILE]\n"
    "\n"
    "Reads one JSON, MessagePack or YAML document from FILE (or standard input when FILE\n"
    "is absent or \"-\") and writes it to standard output as JSON, followed by a newline.\n"
    "\n"
    "Options:\n"
    "  --from FORMAT  read the input as json, msgpack or yaml. Without it the format is\n"
    "                 guessed: a first byte 0x80-0x9F or 0xDC-0xDF means MessagePack, a\n"
    "                 first non-space \"{\" or \"[\" JSON, a first non-space \"---\" YAML;\n"
    "                 anything else is read as JSON.\n"
    "  --pretty       indent the output by four spaces per level.\n"
    "  --help         show this text.\n"
    "\n"
    "Object members are written in byte-wise key order, binary data as Base64 strings,\n"
    "NaN and infinities as null, and an empty document as null.\n"
    "\n"
    "Exit status: 0 on success; 1 when the input cannot be read or decoded (the reason goes\n"
    "to standard error); 2 for bad arguments.\n";

constexpr int kExitDecode = 1;
constexpr int kExitUsage = 2;

enum class InputFormat { Sniff, Json, MsgPack, Yaml };

struct Options {
  InputFormat format = InputFormat::Sniff;
  bool pretty = false;
  bool help = false;
  std::string file;  // empty or "-": standard input
};

std::optional<InputFormat> FormatNamed(std::string_view name) {
  if (name == "json") return InputFormat::Json;
  if (name == "msgpack") return InputFormat::MsgPack;
  if (name == "yaml") return InputFormat::Yaml;
  return std::nullopt;
}

qor::MaybeType<qor::Failure, Options> ParseArguments(int argc, char** argv) {
  Options options;
  bool haveFile = false;
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (!optionsEnded && arg == "--") {
      optionsEnded = true;
    } else if (!optionsEnded && (arg == "--help" || arg == "-h")) {
      options.help = true;
    } else if (!optionsEnded && arg == "--pretty") {
      options.pretty = true;
    } else if (!optionsEnded && (arg == "--from" || arg.starts_with("--from="))) {
      std::string_view name;
      if (arg == "--from") {
        if (i + 1 == argc)
          return qor::Failure("qor-bind: --from needs a format: json, msgpack or yaml");
        name = argv[++i];
      } else {
        name = arg.substr(7);
      }
      const std::optional<InputFormat> format = FormatNamed(name);
      if (!format) {
        return qor::Failure(
            qor::Format("qor-bind: unknown format '%1' (expected json, msgpack or yaml)", name));
      }
      options.format = *format;
    } else if (!optionsEnded && arg.size() > 1 && arg.front() == '-') {
      return qor::Failure(qor::Format("qor-bind: unknown option '%1'", arg));
    } else if (haveFile) {
      return qor::Failure("qor-bind: only one FILE may be given");
    } else {
      options.file = arg;
      haveFile = true;
    }
  }
  return options;
}

qor::MaybeType<qor::Failure, std::string> ReadAll(const std::string& file) {
  const bool fromStdin = file.empty() || file == "-";
  std::FILE* stream = fromStdin ? stdin : std::fopen(file.c_str(), "rb");
  if (stream == nullptr) {
    return qor::Failure(qor::Format("qor-bind: cannot open '%1': %2", file, std::strerror(errno)));
  }
  std::string data;
  char buffer[65536];
  for (;;) {
    const std::size_t got = std::fread(buffer, 1, sizeof buffer, stream);
    data.append(buffer, got);
    if (got < sizeof buffer) break;
  }
  const bool failed = std::ferror(stream) != 0;
  const int error = errno;
  if (!fromStdin) std::fclose(stream);
  if (failed) {
    return qor::Failure(qor::Format("qor-bind: cannot read '%1': %2",
                                    fromStdin ? std::string("standard input") : file,
                                    std::strerror(error)));
  }
  return data;
}

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

InputFormat Sniff(std::string_view data) {
  if (!data.empty()) {
    const auto first = static_cast<std::uint8_t>(data.front());
    if ((first >= 0x80 && first <= 0x9F) || (first >= 0xDC && first <= 0xDF)) {
      return InputFormat::MsgPack;
    }
  }
  std::size_t at = 0;
  while (at < data.size() && IsSpace(data[at]))
    ++at;
  const std::string_view rest = data.substr(at);
  if (rest.starts_with("{") || rest.starts_with("[")) return InputFormat::Json;
  if (rest.starts_with("---")) return InputFormat::Yaml;
  return InputFormat::Json;
}

qor::MaybeType<qor::Failure, qor::BindingProperty> Decode(InputFormat format,
                                                          std::string_view data) {
  switch (format) {
    case InputFormat::MsgPack: {
      qor::MsgPackDecoded decoded = qor::DecodeMsgPack(data.data(), data.size());
      if (decoded.value.Succeeded() && decoded.consumed < data.size()) {
        decoded.value.SetFailure(qor::Format(
            "Extra MessagePack data at position %1 after the first value.", decoded.consumed));
      }
      return std::move(decoded.value);
    }
    case InputFormat::Yaml:
      return qor::ParseYaml(data);
    case InputFormat::Json:
    case InputFormat::Sniff:
    default:
      return qor::ParseJson(data);
  }
}

bool WriteOut(std::FILE* stream, std::string_view text) {
  return std::fwrite(text.data(), 1, text.size(), stream) == text.size();
}

}  // namespace

int main(int argc, char** argv) {
  // A closed output pipe is reported as a write failure, not a signal.
  std::signal(SIGPIPE, SIG_IGN);

  qor::MaybeType<qor::Failure, Options> options = ParseArguments(argc, argv);
  if (options.Failed()) {
    std::fprintf(stderr, "%s\nTry 'qor-bind --help'.\n", options.ErrorMessage().c_str());
    return kExitUsage;
  }
  if (options->help) {
    return WriteOut(stdout, kUsage) && std::fflush(stdout) == 0 ? 0 : kExitDecode;
  }

  qor::MaybeType<qor::Failure, std::string> data = ReadAll(options->file);
  if (data.Failed()) {
    std::fprintf(stderr, "%s\n", data.ErrorMessage().c_str());
    return kExitDecode;
  }
  const InputFormat format = options->format == InputFormat::Sniff ? Sniff(*data) : options->format;
  qor::MaybeType<qor::Failure, qor::BindingProperty> value = Decode(format, *data);
  if (value.Failed()) {
    const std::string_view message = value.ErrorMessage();
    WriteOut(stderr, message);
    WriteOut(stderr, "\n");
    return kExitDecode;
  }

  std::string json = qor::WriteJson(*value, nullptr, options->pretty ? "\n" : "");
  if (json.empty()) json = "null";  // an empty document
  json.push_back('\n');
  if (!WriteOut(stdout, json) || std::fflush(stdout) != 0) {
    std::fprintf(stderr, "qor-bind: cannot write the output: %s\n", std::strerror(errno));
    return kExitDecode;
  }
  return 0;
}
