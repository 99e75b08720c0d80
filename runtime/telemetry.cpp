#include "runtime/telemetry.h"

#include "runtime/app_module.h"
#include "runtime/local_client.h"

namespace qor {

std::string TelemetrySender::PathOf(std::string_view name) {
  return "/telemetry/v1/events/" + std::string(name);
}

std::future<MaybeType<Failure, void>> TelemetrySender::SendEvent(std::string_view name,
                                                                 const BindingProperty& payload) {
  return Fulfilled(CallLocal(module_, PLUGIN_METHOD_POST, PathOf(name), payload));
}

std::future<MaybeType<Failure, void>> TelemetrySender::Fulfilled(MaybeType<Failure, void> result) {
  std::promise<MaybeType<Failure, void>> promise;
  promise.set_value(std::move(result));
  return promise.get_future();
}

const TypeRegistry& TelemetrySender::Registry() const {
  return module_.Types();
}

namespace detail {
Failure TelemetryParameterFailure(std::string_view path, std::string_view error) {
  return ParameterFailure(PLUGIN_METHOD_POST, path, error);
}
}  // namespace detail

}  // namespace qor
