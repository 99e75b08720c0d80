// Path templates and routing: the input is a method byte, then a template, a line feed and a
// path. The template is compiled and matched against the path, alone and among fixed routes.
// For short inputs the match is compared with the regular expression the route documents
// (ECMAScript, whole-string match): both must agree on matching and on each capture's
// decoded text.
#include <cstddef>
#include <cstdint>
#include <map>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

#include "api/route.h"
#include "fuzz/detail/check.h"

namespace {

constexpr std::size_t kRegexLimit = 64;  // std::regex recurses per character
// std::regex backtracks through every split of a path between adjacent captures: with a dozen
// of them a 40-byte path takes minutes. The route's own matcher has no such blow-up.
constexpr std::size_t kRegexCaptureLimit = 3;

// The route's own matcher against std::regex over Pattern().
void CompareWithRegex(const qor::Route& route, std::string_view path, bool matched,
                      const qor::ArgumentMap& arguments) {
  if (route.IsLiteral() || path.size() > kRegexLimit || route.Pattern().size() > kRegexLimit ||
      route.Captures().size() > kRegexCaptureLimit) {
    return;
  }
  // '.' stops at line terminators in ECMAScript; the route's matcher takes every byte.
  if (path.find_first_of("\r\n") != std::string_view::npos) return;
  std::regex pattern;
  try {
    pattern.assign(route.Pattern(), std::regex::ECMAScript);
  } catch (const std::regex_error&) {
    return;  // names and stray braces can make texts std::regex does not take
  }
  std::match_results<std::string_view::const_iterator> groups;
  const bool expected = std::regex_match(path.begin(), path.end(), groups, pattern);
  QOR_FUZZ_CHECK(matched == expected, "pattern " + route.Pattern() + " path " + std::string(path));
  if (!matched) return;
  const auto& captures = route.Captures();
  QOR_FUZZ_CHECK(groups.size() == captures.size() + 1, "group count of " + route.Pattern());
  std::map<std::string, std::string> last;
  for (std::size_t i = 0; i < captures.size(); ++i) {
    last[captures[i].name] = qor::PercentDecode(groups[i + 1].str());
  }
  for (const auto& [name, text] : last) {
    auto found = arguments.find(name);
    QOR_FUZZ_CHECK(found != arguments.end(), "capture '" + name + "' missing");
    QOR_FUZZ_CHECK(found->second == text, "capture '" + name + "' is '" + found->second +
                                              "', the pattern gives '" + text + "'");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::uint32_t method = data[0] % 10;
  const std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::size_t split = rest.find('\n');
  const std::string_view templ = rest.substr(0, split);
  const std::string_view path =
      split == std::string_view::npos ? std::string_view() : rest.substr(split + 1);

  const std::string name = qor::FunctionName(method, templ);
  QOR_FUZZ_CHECK(name.find_first_of("!+-./_{}") == std::string::npos, name);
  (void)qor::TypeNamePrefix(templ);
  (void)qor::PercentDecode(path);

  const qor::Route route(templ, method, "invoke");
  qor::ArgumentMap arguments;
  const bool matched = route.Match(path, arguments);
  if (!matched) QOR_FUZZ_CHECK(arguments.empty(), "arguments filled without a match");
  QOR_FUZZ_CHECK(arguments.size() <= route.Captures().size(), "more arguments than captures");
  if (route.IsLiteral()) {
    QOR_FUZZ_CHECK(matched == (path == route.Template()), "literal route " + route.Template());
  }
  CompareWithRegex(route, path, matched, arguments);

  const std::vector<qor::Route> routes = {
      qor::Route("/a/{x}"),
      route,
      qor::Route("/a/literal", 2),
      qor::Route("/{+all}", 0),
      qor::Route(std::string(templ) + "/{tail}", method),
      qor::Route("/q/{id}", 8, "invoke"),
  };
  const auto selected = qor::SelectRoute(method, method == 8 ? "invoke" : "", path, routes);
  if (selected) {
    QOR_FUZZ_CHECK(selected->index < routes.size(), "index out of range");
    const qor::Route& chosen = routes[selected->index];
    const std::string_view bare = path.substr(0, path.find('?'));
    qor::ArgumentMap again;
    QOR_FUZZ_CHECK(chosen.Match(bare, again), "selected a route that does not match");
    QOR_FUZZ_CHECK(again == selected->arguments, "selection captured different arguments");
  }
  return 0;
}
