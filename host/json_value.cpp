#include "host/json_value.h"

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>

#include "api/host_value.h"
#include "host/http/access.h"

namespace qor::host {

class HostValueBuilder {
 public:
  explicit HostValueBuilder(OwnedHostValue& owner) : owner_(owner) {}

  const char* CopyText(std::string_view text) {
    auto buffer = std::make_unique<char[]>(text.size() + 1);
    if (!text.empty()) std::memcpy(buffer.get(), text.data(), text.size());
    buffer[text.size()] = '\0';
    const char* result = buffer.get();
    owner_.texts_.push_back(std::move(buffer));
    return result;
  }

  void SetText(HostValue& out, std::string_view text) {
    out.tag = HOST_VALUE_OWNED_STRING;
    out.length = static_cast<uint32_t>(text.size());
    out.data.text = CopyText(text);
  }

  HostValue* NewArray(size_t count) {
    owner_.arrays_.push_back(std::make_unique<HostValue[]>(count));
    return owner_.arrays_.back().get();
  }

  HostStructureEntry* NewEntries(size_t count) {
    owner_.entryArrays_.push_back(std::make_unique<HostStructureEntry[]>(count));
    return owner_.entryArrays_.back().get();
  }

  // False when the value is nested deeper than kMaxJsonDepth.
  bool Build(const rapidjson::Value& json, HostValue& out, int depth) {
    out = HostValue{};
    switch (json.GetType()) {
      case rapidjson::kNullType:
        return true;
      case rapidjson::kFalseType:
      case rapidjson::kTrueType:
        out.tag = HOST_VALUE_BOOL;
        out.data.boolean = json.GetBool() ? 1 : 0;
        return true;
      case rapidjson::kNumberType:
        if (json.IsInt64()) {
          out.tag = HOST_VALUE_SIGNED;
          out.data.signedValue = json.GetInt64();
        } else if (json.IsUint64()) {
          out.tag = HOST_VALUE_UNSIGNED;
          out.data.unsignedValue = json.GetUint64();
        } else {
          out.tag = HOST_VALUE_FLOAT;
          out.data.floatValue = json.GetDouble();
        }
        return true;
      case rapidjson::kStringType:
        SetText(out, std::string_view(json.GetString(), json.GetStringLength()));
        return true;
      case rapidjson::kArrayType: {
        if (depth >= kMaxJsonDepth) return false;
        const rapidjson::SizeType count = json.Size();
        HostValue* elements = count > 0 ? NewArray(count) : nullptr;
        for (rapidjson::SizeType i = 0; i < count; ++i) {
          if (!Build(json[i], elements[i], depth + 1)) return false;
        }
        out.tag = HOST_VALUE_COLLECTION;
        out.length = count;
        out.data.elements = elements;
        return true;
      }
      case rapidjson::kObjectType: {
        if (depth >= kMaxJsonDepth) return false;
        // A repeated key keeps its last value, as every reader of the records does.
        std::map<std::string_view, const rapidjson::Value*> members;
        for (auto it = json.MemberBegin(); it != json.MemberEnd(); ++it) {
          members[std::string_view(it->name.GetString(), it->name.GetStringLength())] = &it->value;
        }
        HostStructureEntry* entries = members.empty() ? nullptr : NewEntries(members.size());
        size_t i = 0;
        for (const auto& [key, value] : members) {
          entries[i].key = CopyText(key);
          entries[i].ownedKey = 1;
          if (!Build(*value, entries[i].value, depth + 1)) return false;
          ++i;
        }
        out.tag = HOST_VALUE_STRUCTURE;
        out.length = static_cast<uint32_t>(members.size());
        out.data.entries = entries;
        return true;
      }
    }
    return true;
  }

 private:
  OwnedHostValue& owner_;
};

namespace {

MaybeType<Failure, void> ParseJson(std::string_view json, rapidjson::Document& document) {
  // Iterative parsing: a deeply nested body cannot exhaust the stack.
  document.Parse<rapidjson::kParseIterativeFlag | rapidjson::kParseFullPrecisionFlag>(json.data(),
                                                                                      json.size());
  if (document.HasParseError()) {
    return Failure(400, std::string("Invalid JSON: ") +
                            rapidjson::GetParseError_En(document.GetParseError()) + " at offset " +
                            std::to_string(document.GetErrorOffset()) + ".");
  }
  return {};
}

// Appends `text` with every byte that does not start a valid UTF-8 sequence replaced by
// U+FFFD, so that the JSON written is always valid.
void AppendValidUtf8(std::string_view text, std::string& out) {
  size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    size_t length = 0;
    uint32_t minimum = 0;
    if (c < 0x80) {
      length = 1;
    } else if (c >= 0xC2 && c <= 0xDF) {
      length = 2;
      minimum = 0x80;
    } else if (c >= 0xE0 && c <= 0xEF) {
      length = 3;
      minimum = 0x800;
    } else if (c >= 0xF0 && c <= 0xF4) {
      length = 4;
      minimum = 0x10000;
    }
    bool valid = length > 0 && i + length <= text.size();
    uint32_t codePoint = length == 1 ? c : (c & (0x7F >> length));
    for (size_t j = 1; valid && j < length; ++j) {
      const auto next = static_cast<unsigned char>(text[i + j]);
      valid = (next & 0xC0) == 0x80;
      codePoint = (codePoint << 6) | (next & 0x3F);
    }
    if (valid && length > 1) {
      valid = codePoint >= minimum && codePoint <= 0x10FFFF &&
              !(codePoint >= 0xD800 && codePoint <= 0xDFFF);
    }
    if (valid) {
      out.append(text.substr(i, length));
      i += length;
    } else {
      out.append("\xEF\xBF\xBD");
      ++i;
    }
  }
}

using JsonWriter = rapidjson::Writer<rapidjson::StringBuffer>;

void WriteText(JsonWriter& writer, std::string_view text) {
  // Most texts are ASCII, valid as they are: only others are copied and mended.
  if (std::all_of(text.begin(), text.end(), [](char c) { return (c & 0x80) == 0; })) {
    writer.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
    return;
  }
  std::string valid;
  AppendValidUtf8(text, valid);
  writer.String(valid.data(), static_cast<rapidjson::SizeType>(valid.size()));
}

std::string_view BoundedText(const HostValue& value) {
  if (value.data.text == nullptr) return {};
  std::string_view text(value.data.text, value.length);
  const size_t nul = text.find('\0');
  return nul == std::string_view::npos ? text : text.substr(0, nul);
}

MaybeType<Failure, void> WriteValue(JsonWriter& writer, const HostValue& value, int depth) {
  switch (value.tag) {
    case HOST_VALUE_EMPTY:
      writer.Null();
      return {};
    case HOST_VALUE_BOOL:
      writer.Bool(value.data.boolean != 0);
      return {};
    case HOST_VALUE_SIGNED:
      writer.Int64(value.data.signedValue);
      return {};
    case HOST_VALUE_UNSIGNED:
      writer.Uint64(value.data.unsignedValue);
      return {};
    case HOST_VALUE_FLOAT:
      if (std::isfinite(value.data.floatValue)) {
        writer.Double(value.data.floatValue);
      } else {
        writer.Null();
      }
      return {};
    case HOST_VALUE_STRING:
    case HOST_VALUE_OWNED_STRING:
      WriteText(writer, BoundedText(value));
      return {};
    case HOST_VALUE_BLOB:
    case HOST_VALUE_OWNED_BLOB: {
      std::string_view bytes;
      if (value.data.bytes != nullptr) {
        bytes = std::string_view(reinterpret_cast<const char*>(value.data.bytes), value.length);
      }
      WriteText(writer, EncodeBase64(bytes));
      return {};
    }
    case HOST_VALUE_COLLECTION: {
      if (depth >= kMaxJsonDepth) return Failure(500, "Nesting exceeds 512 levels in '<value>'.");
      writer.StartArray();
      for (uint32_t i = 0; value.data.elements != nullptr && i < value.length; ++i) {
        MaybeType<Failure, void> written = WriteValue(writer, value.data.elements[i], depth + 1);
        if (!written) return written;
      }
      writer.EndArray();
      return {};
    }
    case HOST_VALUE_STRUCTURE: {
      if (depth >= kMaxJsonDepth) return Failure(500, "Nesting exceeds 512 levels in '<value>'.");
      std::map<std::string_view, const HostValue*> members;
      for (uint32_t i = 0; value.data.entries != nullptr && i < value.length; ++i) {
        const HostStructureEntry& entry = value.data.entries[i];
        members[entry.key != nullptr ? std::string_view(entry.key) : std::string_view()] =
            &entry.value;
      }
      writer.StartObject();
      for (const auto& [key, member] : members) {
        WriteText(writer, key);
        MaybeType<Failure, void> written = WriteValue(writer, *member, depth + 1);
        if (!written) return written;
      }
      writer.EndObject();
      return {};
    }
    default:
      return Failure(500, "Unsupported value tag " + std::to_string(value.tag) + ".");
  }
}

}  // namespace

MaybeType<Failure, OwnedHostValue> OwnedHostValue::FromJson(std::string_view json) {
  rapidjson::Document document;
  MaybeType<Failure, void> parsed = ParseJson(json, document);
  if (!parsed) return parsed.Error();
  OwnedHostValue result;
  HostValueBuilder builder(result);
  if (!builder.Build(document, result.value_, 0)) {
    return Failure(400, "Invalid JSON: Nesting exceeds 512 levels in '<body>'.");
  }
  return result;
}

OwnedHostValue OwnedHostValue::Text(std::string_view text) {
  OwnedHostValue result;
  HostValueBuilder(result).SetText(result.value_, text);
  return result;
}

OwnedHostValue OwnedHostValue::TextStructure(
    const std::vector<std::pair<std::string, std::string>>& members) {
  std::vector<std::pair<std::string, OwnedHostValue>> values;
  values.reserve(members.size());
  for (const auto& [key, text] : members)
    values.emplace_back(key, Text(text));
  return Structure(std::move(values));
}

OwnedHostValue OwnedHostValue::Structure(
    std::vector<std::pair<std::string, OwnedHostValue>> members) {
  OwnedHostValue result;
  HostValueBuilder builder(result);
  HostStructureEntry* entries = members.empty() ? nullptr : builder.NewEntries(members.size());
  for (size_t i = 0; i < members.size(); ++i) {
    entries[i].key = builder.CopyText(members[i].first);
    entries[i].ownedKey = 1;
    entries[i].value = members[i].second.value_;
    result.children_.push_back(std::move(members[i].second));
  }
  result.value_.tag = HOST_VALUE_STRUCTURE;
  result.value_.length = static_cast<uint32_t>(members.size());
  result.value_.data.entries = entries;
  return result;
}

OwnedHostValue OwnedHostValue::Collection(std::vector<OwnedHostValue> elements) {
  OwnedHostValue result;
  HostValueBuilder builder(result);
  HostValue* array = elements.empty() ? nullptr : builder.NewArray(elements.size());
  for (size_t i = 0; i < elements.size(); ++i) {
    array[i] = elements[i].value_;
    result.children_.push_back(std::move(elements[i]));
  }
  result.value_.tag = HOST_VALUE_COLLECTION;
  result.value_.length = static_cast<uint32_t>(elements.size());
  result.value_.data.elements = array;
  return result;
}

namespace {

// Printable ASCII with nothing to escape: written between quotes as it is.
bool IsPlainText(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return c >= 0x20 && c < 0x7f && c != '"' && c != '\\'; });
}

std::string Quoted(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  out += text;
  out += '"';
  return out;
}

}  // namespace

MaybeType<Failure, std::string> HostValueToJson(const HostValue& value) {
  // A reply of one text (the commonest one) needs no writer when the text is plain.
  if (value.tag == HOST_VALUE_STRING || value.tag == HOST_VALUE_OWNED_STRING) {
    return JsonQuote(BoundedText(value));
  }
  rapidjson::StringBuffer buffer;
  JsonWriter writer(buffer);
  MaybeType<Failure, void> written = WriteValue(writer, value, 0);
  if (!written) return written.Error();
  return std::string(buffer.GetString(), buffer.GetSize());
}

MaybeType<Failure, std::string> NormalizeJson(std::string_view json) {
  MaybeType<Failure, OwnedHostValue> value = OwnedHostValue::FromJson(json);
  if (!value) return value.Error();
  return HostValueToJson(value->Get());
}

MaybeType<Failure, BindingProperty> JsonToProperty(std::string_view json) {
  MaybeType<Failure, OwnedHostValue> value = OwnedHostValue::FromJson(json);
  if (!value) return value.Error();
  MaybeType<Failure, BindingProperty> property = ReadHostValue(value->Get(), "<json>");
  if (!property) return Failure(400, std::string(property.ErrorMessage()));
  return property;
}

MaybeType<Failure, std::string> PropertyToJson(const BindingProperty& value) {
  HostValue record{};
  MaybeType<Failure, void> written = WriteHostValue(value, record);
  if (!written) return Failure(500, written.ErrorMessage());
  MaybeType<Failure, std::string> json = HostValueToJson(record);
  FreeHostValue(record);
  return json;
}

std::string JsonQuote(std::string_view text) {
  if (IsPlainText(text)) return Quoted(text);
  rapidjson::StringBuffer buffer;
  JsonWriter writer(buffer);
  WriteText(writer, text);
  return std::string(buffer.GetString(), buffer.GetSize());
}

}  // namespace qor::host
