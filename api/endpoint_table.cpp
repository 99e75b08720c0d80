#include "api/endpoint_table.h"

namespace qor {
namespace {

// Links every entry of a list to the one after it.
template <typename Entry>
void Link(std::vector<Entry>& entries) {
  for (size_t i = 0; i + 1 < entries.size(); ++i)
    entries[i].next = &entries[i + 1];
}

uint32_t CodeOf(NativeType type) {
  return static_cast<uint32_t>(type);
}

}  // namespace

const char* EndpointTable::Keep(std::string text) {
  return texts_.emplace_back(std::move(text)).c_str();
}

const char* const* EndpointTable::KeepTags(const std::vector<std::string>& tags, uint32_t& count) {
  std::vector<const char*>& list = tagLists_.emplace_back();
  for (const std::string& tag : tags)
    list.push_back(tag.c_str());
  count = static_cast<uint32_t>(list.size());
  return list.empty() ? nullptr : list.data();
}

// The registered name of the type, or of a vector's or map's elements; empty otherwise.
const char* EndpointTable::TypeNameOf(const TypeDescriptor& type, const TypeRegistry& registry) {
  const TypeRecord* record = registry.Resolve(type);
  return record ? record->Name().c_str() : "";
}

EndpointTable::EndpointTable(const Dispatcher& dispatcher) {
  const TypeRegistry& registry = dispatcher.Registry();

  for (const Function* function : dispatcher.Functions()) {
    std::vector<PluginParameterEntry>& parameters = parameterLists_.emplace_back();
    for (const Parameter& parameter : function->parameters) {
      PluginParameterEntry entry{};
      entry.name = parameter.name.c_str();
      entry.help = parameter.help.c_str();
      entry.nativeType = CodeOf(parameter.type.type);
      entry.elementType = CodeOf(parameter.type.element);
      entry.typeName = TypeNameOf(parameter.type, registry);
      entry.optional = parameter.optional ? 1 : 0;
      entry.location = static_cast<uint8_t>(parameter.location);
      parameters.push_back(entry);
    }
    Link(parameters);

    PluginFunctionEntry entry{};
    entry.method = function->method;
    entry.context = dispatcher.ContextOf(*function);
    entry.name = function->name.c_str();
    entry.nameSpace = function->nameSpace.c_str();
    entry.pathTemplate = function->route.Template().c_str();
    entry.invocationName = function->route.InvocationName().c_str();
    entry.description = function->description.c_str();
    entry.help = function->help.c_str();
    entry.resultType = CodeOf(function->returns.type);
    entry.resultElementType = CodeOf(function->returns.element);
    entry.resultTypeName = TypeNameOf(function->returns, registry);
    entry.threadSafe = function->threadSafe ? 1 : 0;
    entry.asyncEventName = function->async.c_str();
    entry.tags = KeepTags(function->tags, entry.tagCount);
    entry.parameters = parameters.empty() ? nullptr : parameters.data();
    entry.parameterCount = static_cast<uint32_t>(parameters.size());
    entry.call = Dispatcher::CallEntry;
    functions_.push_back(entry);
  }
  Link(functions_);

  for (const TypeRecord* type : registry.Types()) {
    PluginTypeEntry entry{};
    entry.name = type->Name().c_str();
    entry.nameSpace = "";
    entry.size = static_cast<uint32_t>(type->Size());
    entry.description = type->Description().c_str();
    entry.tags = KeepTags(type->Tags(), entry.tagCount);
    if (type->IsEnum()) {
      std::vector<PluginEnumeratorEntry>& values = enumeratorLists_.emplace_back();
      for (const auto& [name, value] : type->Values()) {
        values.push_back(
            PluginEnumeratorEntry{nullptr, name.c_str(), value.description.c_str(), value.value});
      }
      Link(values);
      entry.enumerators = values.empty() ? nullptr : values.data();
      entry.memberCount = static_cast<uint32_t>(values.size());
    } else {
      std::vector<PluginFieldEntry>& fields = fieldLists_.emplace_back();
      for (const auto& field : type->Fields()) {
        PluginFieldEntry fieldEntry{};
        fieldEntry.name = field->name.c_str();
        fieldEntry.description = field->description.c_str();
        fieldEntry.offset = static_cast<uint32_t>(field->offset);
        fieldEntry.nativeType = CodeOf(field->type.type);
        fieldEntry.elementType = CodeOf(field->type.element);
        fieldEntry.typeName = TypeNameOf(field->type, registry);
        fieldEntry.optional = field->optional ? 1 : 0;
        fields.push_back(fieldEntry);
      }
      Link(fields);
      entry.fields = fields.empty() ? nullptr : fields.data();
      entry.memberCount = static_cast<uint32_t>(fields.size());
    }
    types_.push_back(entry);
  }
  Link(types_);

  for (const auto& event : registry.Events()) {
    PluginEventEntry entry{};
    entry.name = event->name.c_str();
    entry.nameSpace = event->nameSpace.c_str();
    const TypeRecord* payload = registry.Resolve(event->type);
    entry.payloadTypeName =
        payload ? payload->Name().c_str() : Keep(registry.Describe(event->type));
    entry.help = event->description.c_str();
    entry.tags = KeepTags(event->tags, entry.tagCount);
    events_.push_back(entry);
  }
  Link(events_);

  descriptor_.functions = functions_.empty() ? nullptr : functions_.data();
  descriptor_.functionCount = static_cast<uint32_t>(functions_.size());
  descriptor_.types = types_.empty() ? nullptr : types_.data();
  descriptor_.typeCount = static_cast<uint32_t>(types_.size());
  descriptor_.events = events_.empty() ? nullptr : events_.data();
  descriptor_.eventCount = static_cast<uint32_t>(events_.size());
}

}  // namespace qor
