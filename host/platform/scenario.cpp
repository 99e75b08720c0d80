#include "host/platform/scenario.h"

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstdio>
#include <memory>

#include "host/json_value.h"

namespace qor::host {
namespace {

using Json = rapidjson::Value;

Failure Invalid(std::string_view what) {
  return Failure(400, "Scenario: " + std::string(what));
}

std::string Compact(const Json& value) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  value.Accept(writer);
  return std::string(buffer.GetString(), buffer.GetSize());
}

std::string_view Text(const Json& value) {
  return std::string_view(value.GetString(), value.GetStringLength());
}

// Reads the string member `key` of `object` into `out` (left alone when absent).
MaybeType<Failure, void> ReadText(const Json& object, const char* key, std::string_view where,
                                  std::string& out) {
  auto it = object.FindMember(key);
  if (it == object.MemberEnd()) return {};
  if (!it->value.IsString()) {
    return Invalid(std::string(where) + "'" + key + "' must be a string");
  }
  out = std::string(Text(it->value));
  return {};
}

MaybeType<Failure, void> CheckKeys(const Json& object, std::string_view where,
                                   std::initializer_list<std::string_view> allowed) {
  for (auto it = object.MemberBegin(); it != object.MemberEnd(); ++it) {
    bool known = false;
    for (std::string_view key : allowed)
      known = known || key == Text(it->name);
    if (!known)
      return Invalid(std::string(where) + "unknown key '" + std::string(Text(it->name)) + "'");
  }
  return {};
}

MaybeType<Failure, CannedAnswer> ReadAnswer(const Json& entry, const std::string& where) {
  CannedAnswer answer;
  if (auto body = entry.FindMember("body"); body != entry.MemberEnd()) {
    answer.bodyJson = Compact(body->value);
  }
  MaybeType<Failure, void> error = ReadText(entry, "error", where, answer.error);
  if (!error) return error.Error();
  if (auto status = entry.FindMember("status"); status != entry.MemberEnd()) {
    if (!status->value.IsUint() || status->value.GetUint() > 999) {
      return Invalid(where + "'status' must be a number from 0 to 999");
    }
    answer.status = status->value.GetUint();
  }
  if (!answer.error.empty() && answer.status == 0) answer.status = 500;
  return answer;
}

// Calls `read(entry, where)` for every element of the array member `key`.
template <class Read>
MaybeType<Failure, void> ForEachEntry(const Json& root, const char* key, Read read) {
  auto it = root.FindMember(key);
  if (it == root.MemberEnd()) return {};
  if (!it->value.IsArray()) return Invalid(std::string("'") + key + "' must be an array");
  for (rapidjson::SizeType i = 0; i < it->value.Size(); ++i) {
    const std::string where = std::string(key) + "[" + std::to_string(i) + "]: ";
    if (!it->value[i].IsObject()) return Invalid(where + "must be an object");
    MaybeType<Failure, void> done = read(it->value[i], where);
    if (!done) return done;
  }
  return {};
}

MaybeType<Failure, int64_t> ReadBalance(const Json& object, const char* key) {
  auto it = object.FindMember(key);
  if (it == object.MemberEnd()) return int64_t{0};
  if (!it->value.IsInt64() || it->value.GetInt64() < 0) {
    return Invalid(std::string("storefront: '") + key + "' must be a whole number >= 0");
  }
  return it->value.GetInt64();
}

MaybeType<Failure, ScenarioStorefront> ReadStorefront(const Json& value) {
  if (!value.IsObject()) return Invalid("'storefront' must be an object");
  MaybeType<Failure, void> keys =
      CheckKeys(value, "storefront: ", {"catalog", "ip", "vp", "owned"});
  if (!keys) return keys.Error();
  ScenarioStorefront storefront;
  MaybeType<Failure, void> catalog = ReadText(value, "catalog", "storefront: ", storefront.catalog);
  if (!catalog) return catalog.Error();
  if (storefront.catalog.empty()) {
    return Invalid("storefront: 'catalog' must name the catalog file");
  }
  MaybeType<Failure, int64_t> ip = ReadBalance(value, "ip");
  if (!ip) return ip.Error();
  MaybeType<Failure, int64_t> vp = ReadBalance(value, "vp");
  if (!vp) return vp.Error();
  storefront.ip = *ip;
  storefront.vp = *vp;
  MaybeType<Failure, void> owned =
      ForEachEntry(value, "owned", [&](const Json& entry, const std::string& where) {
        auto type = entry.FindMember("inventoryType");
        auto id = entry.FindMember("itemId");
        if (type == entry.MemberEnd() || !type->value.IsString() || id == entry.MemberEnd() ||
            !id->value.IsInt()) {
          return MaybeType<Failure, void>(Invalid(
              "storefront: " + where + "needs a string 'inventoryType' and an integer 'itemId'"));
        }
        storefront.owned.emplace_back(std::string(Text(type->value)), id->value.GetInt());
        return MaybeType<Failure, void>();
      });
  if (!owned) return owned.Error();
  return storefront;
}

}  // namespace

uint32_t MethodCode(std::string_view name) {
  static constexpr std::string_view kNames[] = {"",        "DELETE", "GET",  "HEAD",
                                                "OPTIONS", "PATCH",  "POST", "PUT"};
  for (uint32_t code = 1; code < std::size(kNames); ++code) {
    if (kNames[code] == name) return code;
  }
  return 0;
}

MaybeType<Failure, Scenario> ParseScenario(std::string_view json) {
  rapidjson::Document document;
  document.Parse<rapidjson::kParseIterativeFlag | rapidjson::kParseFullPrecisionFlag |
                 rapidjson::kParseValidateEncodingFlag>(json.data(), json.size());
  if (document.HasParseError()) {
    return Invalid(std::string(rapidjson::GetParseError_En(document.GetParseError())) +
                   " at offset " + std::to_string(document.GetErrorOffset()));
  }
  if (!document.IsObject()) return Invalid("the scenario must be a JSON object");
  MaybeType<Failure, void> keys =
      CheckKeys(document, "",
                {"storefrontUrl", "resources", "lcdsResponses", "serviceProxyResponses",
                 "localResponses", "storefront"});
  if (!keys) return keys.Error();

  Scenario scenario;
  MaybeType<Failure, void> url = ReadText(document, "storefrontUrl", "", scenario.storefrontUrl);
  if (!url) return url.Error();

  if (auto resources = document.FindMember("resources"); resources != document.MemberEnd()) {
    if (!resources->value.IsObject()) return Invalid("'resources' must be an object");
    for (auto it = resources->value.MemberBegin(); it != resources->value.MemberEnd(); ++it) {
      std::string uri(Text(it->name));
      if (uri.empty() || uri.front() != '/') {
        return Invalid("resource URI '" + uri + "' must begin with '/'");
      }
      // A URI given twice keeps its last value, as JSON readers do.
      std::erase_if(scenario.resources, [&](const auto& entry) { return entry.first == uri; });
      scenario.resources.emplace_back(std::move(uri), Compact(it->value));
    }
  }

  MaybeType<Failure, void> lcds =
      ForEachEntry(document, "lcdsResponses", [&](const Json& entry, const std::string& where) {
        MaybeType<Failure, void> checked = CheckKeys(
            entry, where, {"destination", "method", "typeName", "body", "status", "error"});
        if (!checked) return checked;
        CannedLcdsAnswer canned;
        for (auto [key, out] :
             {std::pair{"destination", &canned.destination}, std::pair{"method", &canned.method},
              std::pair{"typeName", &canned.typeName}}) {
          MaybeType<Failure, void> read = ReadText(entry, key, where, *out);
          if (!read) return read;
        }
        if (canned.destination.empty() || canned.method.empty()) {
          return MaybeType<Failure, void>(
              Invalid(where + "'destination' and 'method' are required"));
        }
        MaybeType<Failure, CannedAnswer> answer = ReadAnswer(entry, where);
        if (!answer) return MaybeType<Failure, void>(answer.Error());
        canned.answer = std::move(*answer);
        scenario.lcdsAnswers.push_back(std::move(canned));
        return MaybeType<Failure, void>();
      });
  if (!lcds) return lcds.Error();

  MaybeType<Failure, void> proxy = ForEachEntry(
      document, "serviceProxyResponses", [&](const Json& entry, const std::string& where) {
        MaybeType<Failure, void> checked =
            CheckKeys(entry, where, {"serviceName", "methodName", "payload", "status", "error"});
        if (!checked) return checked;
        CannedServiceProxyAnswer canned;
        for (auto [key, out] :
             {std::pair{"serviceName", &canned.serviceName},
              std::pair{"methodName", &canned.methodName}, std::pair{"status", &canned.status},
              std::pair{"error", &canned.error}}) {
          MaybeType<Failure, void> read = ReadText(entry, key, where, *out);
          if (!read) return read;
        }
        if (canned.serviceName.empty() || canned.methodName.empty()) {
          return MaybeType<Failure, void>(
              Invalid(where + "'serviceName' and 'methodName' are required"));
        }
        if (auto payload = entry.FindMember("payload"); payload != entry.MemberEnd()) {
          canned.payloadJson = Compact(payload->value);
        }
        scenario.serviceProxyAnswers.push_back(std::move(canned));
        return MaybeType<Failure, void>();
      });
  if (!proxy) return proxy.Error();

  MaybeType<Failure, void> local =
      ForEachEntry(document, "localResponses", [&](const Json& entry, const std::string& where) {
        MaybeType<Failure, void> checked =
            CheckKeys(entry, where, {"method", "path", "body", "status", "error"});
        if (!checked) return checked;
        CannedLocalAnswer canned;
        std::string method;
        for (auto [key, out] : {std::pair{"method", &method}, std::pair{"path", &canned.path}}) {
          MaybeType<Failure, void> read = ReadText(entry, key, where, *out);
          if (!read) return read;
        }
        if (!method.empty()) {
          canned.method = MethodCode(method);
          if (canned.method == 0) {
            return MaybeType<Failure, void>(Invalid(where + "unknown method '" + method + "'"));
          }
        }
        if (canned.path.empty() || canned.path.front() != '/') {
          return MaybeType<Failure, void>(Invalid(where + "'path' must begin with '/'"));
        }
        MaybeType<Failure, CannedAnswer> answer = ReadAnswer(entry, where);
        if (!answer) return MaybeType<Failure, void>(answer.Error());
        canned.answer = std::move(*answer);
        scenario.localAnswers.push_back(std::move(canned));
        return MaybeType<Failure, void>();
      });
  if (!local) return local.Error();

  if (auto storefront = document.FindMember("storefront"); storefront != document.MemberEnd()) {
    MaybeType<Failure, ScenarioStorefront> read = ReadStorefront(storefront->value);
    if (!read) return read.Error();
    scenario.storefront = std::move(*read);
  }
  return scenario;
}

MaybeType<Failure, Scenario> LoadScenario(const std::string& path) {
  std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
  if (!file) return Failure(400, path + ": cannot open the scenario file");
  std::string text;
  char buffer[65536];
  size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof(buffer), file.get())) > 0) {
    if (text.size() + got > kMaxScenarioBytes) {
      return Failure(400, path + ": the scenario file is larger than 64 MiB");
    }
    text.append(buffer, got);
  }
  if (std::ferror(file.get())) return Failure(400, path + ": cannot read the scenario file");
  MaybeType<Failure, Scenario> scenario = ParseScenario(text);
  if (!scenario) return Failure(400, path + ": " + scenario.ErrorMessage());
  if (scenario->storefront && scenario->storefront->catalog.front() != '/') {
    const size_t slash = path.rfind('/');
    if (slash != std::string::npos) {
      scenario->storefront->catalog.insert(0, path.substr(0, slash + 1));
    }
  }
  return scenario;
}

}  // namespace qor::host
