// Registering a member operation as an endpoint.
//
// An endpoint is a member function of the plug-in object that takes typed parameters and
// returns MaybeType<Failure, T> (or MaybeType<Failure, void>). Each parameter is named, and
// may be tied to one source, with an argument spec:
//
//   RegisterEndpoint(dispatcher, PLUGIN_METHOD_GET, "/qor-store/v1/skins/{skinId}", this,
//                    &StoreModule::GetSkin, PathArg("skinId"));
//   RegisterEndpoint(dispatcher, PLUGIN_METHOD_POST, "/qor-store/v1/purchase", this,
//                    &StoreModule::Purchase, BodyArg("request"), QueryArg("dryRun").Optional());
//
// There is one spec per parameter, in order (checked when compiling). A parameter of type
// std::optional<T> is optional by itself; Optional() marks any other one, which then receives
// its default value when the call gives none (a non-optional parameter without a value fails
// with the conversion rules' "A value for '%1' is required.").
//
// On a call, each argument value is read into its parameter's native type by the binding
// conversion rules (a refusal is the call's failure, with no status); the operation's
// success is written back as the reply value (an operation without a value replies Empty),
// its failure as the reply's message and status.
#ifndef QOR_API_ENDPOINT_H_
#define QOR_API_ENDPOINT_H_

#include <array>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "api/dispatch.h"
#include "binding/convert.h"

namespace qor {

// The name, source, optional mark and help text of one parameter.
class ArgSpec {
 public:
  explicit ArgSpec(std::string_view name, ArgumentLocation location = ArgumentLocation::kAny)
      : name_(name), location_(location) {}
  ArgSpec& Optional(bool optional = true) {
    optional_ = optional;
    return *this;
  }
  ArgSpec& Help(std::string_view help) {
    help_ = help;
    return *this;
  }
  const std::string& Name() const { return name_; }
  ArgumentLocation Location() const { return location_; }
  bool IsOptional() const { return optional_; }
  const std::string& HelpText() const { return help_; }

 private:
  std::string name_;
  ArgumentLocation location_;
  bool optional_ = false;
  std::string help_;
};

inline ArgSpec AnyArg(std::string_view name) {
  return ArgSpec(name, ArgumentLocation::kAny);
}
inline ArgSpec QueryArg(std::string_view name) {
  return ArgSpec(name, ArgumentLocation::kQuery);
}
inline ArgSpec PathArg(std::string_view name) {
  return ArgSpec(name, ArgumentLocation::kPath);
}
inline ArgSpec HeaderArg(std::string_view name) {
  return ArgSpec(name, ArgumentLocation::kHeader);
}
inline ArgSpec BodyArg(std::string_view name) {
  return ArgSpec(name, ArgumentLocation::kBody);
}

namespace detail {

template <typename Object, typename Result, typename... Params>
class MemberHandler final : public Handler {
 public:
  using Class = std::remove_const_t<Object>;
  using Operation = std::conditional_t<std::is_const_v<Object>,
                                       MaybeType<Failure, Result> (Class::*)(Params...) const,
                                       MaybeType<Failure, Result> (Class::*)(Params...)>;

  MemberHandler(Object* object, Operation operation, const TypeRegistry& registry,
                std::array<std::string, sizeof...(Params)> names,
                std::array<bool, sizeof...(Params)> optional)
      : object_(object),
        operation_(operation),
        registry_(registry),
        names_(std::move(names)),
        optional_(optional) {}

  uintptr_t Invoke(CallResult& result, std::span<BindingProperty> arguments,
                   uintptr_t /*callerHandle*/) override {
    std::tuple<std::remove_cvref_t<Params>...> values{};
    ConversionStatus status;
    ReadAll(status, arguments, values, std::index_sequence_for<Params...>());
    if (status.Failed()) {
      result.value.SetFailure(status.ErrorMessage());
      return 0;
    }
    MaybeType<Failure, Result> outcome = std::apply(
        [this](auto&... value) { return (object_->*operation_)(std::move(value)...); }, values);
    if (outcome.Failed()) {
      result.Fail(outcome.Error());
      return 0;
    }
    if constexpr (!std::is_void_v<Result>) {
      MaybeType<Failure, BindingProperty> written = Write(*outcome, registry_);
      if (written.Failed()) {
        result.value.SetFailure(written.ErrorMessage());
      } else {
        result.value = std::move(written);
      }
    }
    return 0;
  }

  TypeDescriptor ResultType() const override {
    if constexpr (std::is_void_v<Result>) {
      return {};
    } else {
      return DescriptorOf<Result>(&registry_);
    }
  }

 private:
  template <typename Tuple, size_t... I>
  void ReadAll([[maybe_unused]] ConversionStatus& status,
               [[maybe_unused]] std::span<BindingProperty> arguments,
               [[maybe_unused]] Tuple& values, std::index_sequence<I...>) const {
    // An optional parameter that received nothing keeps its default value.
    ((optional_[I] && arguments[I].IsEmpty()
          ? void()
          : Read(status, arguments[I], names_[I], std::get<I>(values), registry_)),
     ...);
  }

  Object* object_;
  Operation operation_;
  const TypeRegistry& registry_;
  std::array<std::string, sizeof...(Params)> names_;
  std::array<bool, sizeof...(Params)> optional_;
};

template <typename T>
constexpr bool kIsOptionalParameter = IsOptional<std::remove_cvref_t<T>>::value;

template <typename Object, typename Result, typename... Params, typename... Specs>
Function& RegisterMember(Dispatcher& dispatcher, uint32_t method, std::string_view pathTemplate,
                         Object* object,
                         typename MemberHandler<Object, Result, Params...>::Operation operation,
                         Specs&&... specs) {
  static_assert(sizeof...(Specs) == sizeof...(Params),
                "give one argument spec per parameter of the operation");
  const std::array<ArgSpec, sizeof...(Params)> list{ArgSpec(std::forward<Specs>(specs))...};
  std::array<std::string, sizeof...(Params)> names;
  std::array<bool, sizeof...(Params)> marked{};
  std::vector<Parameter> parameters;
  const TypeRegistry& registry = dispatcher.Registry();
  const std::array<TypeDescriptor, sizeof...(Params)> types{
      DescriptorOf<std::remove_cvref_t<Params>>(&registry)...};
  const std::array<bool, sizeof...(Params)> optional{kIsOptionalParameter<Params>...};
  for (size_t i = 0; i < list.size(); ++i) {
    names[i] = list[i].Name();
    Parameter parameter;
    parameter.name = list[i].Name();
    parameter.help = list[i].HelpText();
    parameter.optional = list[i].IsOptional() || optional[i];
    marked[i] = parameter.optional;
    parameter.type = types[i];
    parameter.location = list[i].Location();
    parameters.push_back(std::move(parameter));
  }
  return dispatcher.Add(method, pathTemplate, std::move(parameters),
                        std::make_unique<MemberHandler<Object, Result, Params...>>(
                            object, operation, registry, std::move(names), marked));
}

}  // namespace detail

// Registers `operation` of `object` under `method` and `pathTemplate`, with one ArgSpec per
// parameter. `object` must outlive the dispatcher's use of the function.
template <typename Object, typename Result, typename... Params, typename... Specs>
Function& RegisterEndpoint(Dispatcher& dispatcher, uint32_t method, std::string_view pathTemplate,
                           Object* object,
                           MaybeType<Failure, Result> (Object::*operation)(Params...),
                           Specs&&... specs) {
  return detail::RegisterMember<Object, Result, Params...>(
      dispatcher, method, pathTemplate, object, operation, std::forward<Specs>(specs)...);
}

template <typename Object, typename Result, typename... Params, typename... Specs>
Function& RegisterEndpoint(Dispatcher& dispatcher, uint32_t method, std::string_view pathTemplate,
                           const Object* object,
                           MaybeType<Failure, Result> (Object::*operation)(Params...) const,
                           Specs&&... specs) {
  return detail::RegisterMember<const Object, Result, Params...>(
      dispatcher, method, pathTemplate, object, operation, std::forward<Specs>(specs)...);
}

}  // namespace qor

#endif  // QOR_API_ENDPOINT_H_
