#include "api/builtin_types.h"

#include <memory>

#include "binding/record.h"

namespace qor {
namespace {

constexpr std::string_view kBuiltin = "$builtin";
constexpr std::string_view kHelp = "help";
constexpr std::string_view kAsync = "async";
constexpr std::string_view kToken = "Asynchronous operation token";

void DeclareApiHelpTypes(TypeRegistry& registry) {
  DeclareEnum<BindingHelpFormat>(registry, "BindingHelpFormat",
                                 "Help format for binding functions and types.")
      .Value("Full", BindingHelpFormat::Full, "Native help format")
      .Value("Epytext", BindingHelpFormat::Epytext, "Python epytext format")
      .Tag(kBuiltin)
      .Tag(kHelp);

  using TypeId = BindingFullTypeIdentifier;
  DeclareRecord<TypeId>(registry, "BindingFullTypeIdentifier", "Describes the type of a value.")
      .Field("type", &TypeId::type)
      .Field("elementType", &TypeId::elementType)
      .Tag(kBuiltin)
      .Tag(kHelp);

  using Argument = BindingFullArgumentHelp;
  DeclareRecord<Argument>(registry, "BindingFullArgumentHelp", "Describes a function parameter.")
      .Field("name", &Argument::name)
      .Field("description", &Argument::description)
      .Field("type", &Argument::type)
      .Field("optional", &Argument::optional)
      .Tag(kBuiltin)
      .Tag(kHelp);

  using Function = BindingFullFunctionHelp;
  DeclareRecord<Function>(registry, "BindingFullFunctionHelp", "Describes a function.")
      .Field("name", &Function::name)
      .Field("nameSpace", &Function::nameSpace)
      .Field("arguments", &Function::arguments)
      .Field("returns", &Function::returns)
      .Field("description", &Function::description)
      .Field("help", &Function::help)
      .Field("threadSafe", &Function::threadSafe)
      .Field("async", &Function::async)
      .Field("tags", &Function::tags)
      .Tag(kBuiltin)
      .Tag(kHelp);

  using EnumValue = BindingFullEnumValueHelp;
  DeclareRecord<EnumValue>(registry, "BindingFullEnumValueHelp", "Describes an enumerator.")
      .Field("name", &EnumValue::name)
      .Field("description", &EnumValue::description)
      .Field("value", &EnumValue::value)
      .Tag(kBuiltin)
      .Tag(kHelp);

  using Field = BindingFullFieldHelp;
  DeclareRecord<Field>(registry, "BindingFullFieldHelp", "Describes a member of a struct.")
      .Field("name", &Field::name)
      .Field("description", &Field::description)
      .Field("offset", &Field::offset)
      .Field("type", &Field::type)
      .Field("optional", &Field::optional)
      .Tag(kBuiltin)
      .Tag(kHelp);

  using Type = BindingFullTypeHelp;
  DeclareRecord<Type>(registry, "BindingFullTypeHelp", "Describes a struct or enum type.")
      .Field("name", &Type::name)
      .Field("nameSpace", &Type::nameSpace)
      .Field("size", &Type::size)
      .Field("description", &Type::description)
      .Field("tags", &Type::tags)
      .Field("fields", &Type::fields)
      .Field("values", &Type::values)
      .Tag(kBuiltin)
      .Tag(kHelp);

  using Event = BindingFullEventHelp;
  DeclareRecord<Event>(registry, "BindingFullEventHelp", "Describes an event.")
      .Field("name", &Event::name)
      .Field("nameSpace", &Event::nameSpace)
      .Field("type", &Event::type)
      .Field("description", &Event::description)
      .Field("tags", &Event::tags)
      .Tag(kBuiltin)
      .Tag(kHelp);

  using Api = BindingFullApiHelp;
  DeclareRecord<Api>(registry, "BindingFullApiHelp", "Describes the exposed native API.")
      .Field("functions", &Api::functions)
      .Field("types", &Api::types)
      .Field("events", &Api::events)
      .Tag(kBuiltin)
      .Tag(kHelp);
}

void DeclareAsyncTypes(TypeRegistry& registry) {
  DeclareEnum<BindingAsyncState>(registry, "BindingAsyncState",
                                 "Possible states of an asynchronous operation.")
      .Value("None", BindingAsyncState::None, "Invalid state")
      .Value("Running", BindingAsyncState::Running, "The operation is in flight")
      .Value("Cancelling", BindingAsyncState::Cancelling,
             "A request to cancel the operation has been made")
      .Value("Cancelled", BindingAsyncState::Cancelled, "The operation was cancelled")
      .Value("Succeeded", BindingAsyncState::Succeeded, "The operation completed successfully")
      .Value("Failed", BindingAsyncState::Failed, "The operation encountered an error")
      .Tag(kBuiltin)
      .Tag(kAsync);

  DeclareRecord<BindingGenericEvent>(registry, "BindingGenericEvent",
                                     "Represents generic data for an event.")
      .Field("data", &BindingGenericEvent::data, kFieldDefault, "Event data")
      .Tag(kBuiltin);

  DeclareRecord<BindingCallbackEvent>(registry, "BindingCallbackEvent",
                                      "Represents the parameters of a call to a provided callback.")
      .Field("id", &BindingCallbackEvent::id, kFieldDefault, "ID of the callback being invoked")
      .Field("parameters", &BindingCallbackEvent::parameters, kFieldDefault, "Callback parameters")
      .Tag(kBuiltin);

  DeclareRecord<BindingGenericAsyncEvent>(registry, "BindingGenericAsyncEvent",
                                          "Represents generic data for an asynchronous event.")
      .Field("asyncToken", &BindingGenericAsyncEvent::asyncToken, kFieldDefault, kToken)
      .Field("data", &BindingGenericAsyncEvent::data, kFieldDefault, "Event data")
      .Tag(kBuiltin)
      .Tag(kAsync);

  DeclareRecord<BindingAsyncFailureEvent>(registry, "BindingAsyncFailureEvent",
                                          "Represents a failed asynchronous operation.")
      .Field("asyncToken", &BindingAsyncFailureEvent::asyncToken, kFieldDefault, kToken)
      .Field("error", &BindingAsyncFailureEvent::error, kFieldDefault, "Error message")
      .Tag(kBuiltin)
      .Tag(kAsync);

  DeclareRecord<BindingAsyncCancelEvent>(registry, "BindingAsyncCancelEvent",
                                         "Represents a cancelled asynchronous operation.")
      .Field("asyncToken", &BindingAsyncCancelEvent::asyncToken, kFieldDefault, kToken)
      .Tag(kBuiltin)
      .Tag(kAsync);
}

// A vector or map is named by its kind, with its elements described apart ("vector" and
// "int32"); every other type as the registry describes it.
BindingFullTypeIdentifier Identify(const TypeDescriptor& type, const TypeRegistry& registry) {
  BindingFullTypeIdentifier identifier;
  if (type.type == NativeType::Vector || type.type == NativeType::Map) {
    TypeDescriptor element;
    element.type = type.element;
    element.record = type.record;
    element.typeId = type.typeId;
    identifier.type = NativeTypeName(type.type);
    identifier.elementType = registry.Describe(element);
  } else {
    identifier.type = registry.Describe(type);
  }
  return identifier;
}

}  // namespace

void RegisterBuiltinTypes(TypeRegistry& registry) {
  DeclareApiHelpTypes(registry);
  DeclareAsyncTypes(registry);
  for (const auto& event : registry.Events()) {
    if (event->name == "OnCallback") return;
  }
  auto event = std::make_unique<EventRecord>();
  event->name = "OnCallback";
  event->type = DescriptorOf<BindingCallbackEvent>(&registry);
  event->description = "Fired when a callback is invoked.";
  event->tags = {std::string(kBuiltin)};
  registry.AddEvent(std::move(event));
}

BindingFullApiHelp DescribeApi(const TypeRegistry& registry) {
  BindingFullApiHelp api;
  for (const auto& function : registry.Functions()) {
    BindingFullFunctionHelp& help = api.functions.emplace_back();
    help.name = function->name;
    help.nameSpace = function->nameSpace;
    for (const ArgumentRecord& argument : function->arguments) {
      help.arguments.push_back(BindingFullArgumentHelp{argument.name, argument.description,
                                                       Identify(argument.type, registry),
                                                       argument.optional});
    }
    help.returns = Identify(function->returns, registry);
    help.description = function->description;
    help.help = function->help;
    help.threadSafe = function->threadSafe;
    help.async = function->async;
    help.tags = function->tags;
  }
  for (const TypeRecord* type : registry.Types()) {
    BindingFullTypeHelp& help = api.types.emplace_back();
    help.name = type->Name();
    help.size = static_cast<uint32_t>(type->Size());
    help.description = type->Description();
    help.tags = type->Tags();
    for (const auto& field : type->Fields()) {
      help.fields.push_back(BindingFullFieldHelp{field->name, field->description,
                                                 static_cast<uint32_t>(field->offset),
                                                 Identify(field->type, registry), field->optional});
    }
    for (const auto& [name, value] : type->Values()) {
      help.values.push_back(BindingFullEnumValueHelp{name, value.description, value.value});
    }
  }
  for (const auto& event : registry.Events()) {
    api.events.push_back(BindingFullEventHelp{event->name, event->nameSpace,
                                              Identify(event->type, registry), event->description,
                                              event->tags});
  }
  return api;
}

}  // namespace qor
