// TelemetrySender: posts named telemetry events to the host's telemetry endpoint.
//
// Created at Initialize and owned by the module. An event named N is a local POST of its
// payload to "/telemetry/v1/events/N"; the returned future is already fulfilled.
//
// Thread rule: runs on the calling thread.
#pragma once

#include <future>
#include <string_view>

#include "binding/maybe.h"
#include "binding/property.h"
#include "binding/record.h"

namespace qor {

class AppModule;

class TelemetrySender {
 public:
  explicit TelemetrySender(AppModule& module) : module_(module) {}
  virtual ~TelemetrySender() = default;
  TelemetrySender(const TelemetrySender&) = delete;
  TelemetrySender& operator=(const TelemetrySender&) = delete;

  // Posts `payload` as the single argument. Failures: status 400 "Request not sent: Error
  // converting parameters for POST <path>: ..." or the reply's "Error response for POST
  // <path>: ...".
  virtual std::future<MaybeType<Failure, void>> SendEvent(std::string_view name,
                                                          const BindingProperty& payload);

  // The same for a payload of a registered type.
  template <typename T>
  std::future<MaybeType<Failure, void>> SendEvent(std::string_view name, const T& payload);

  static std::string PathOf(std::string_view name);

 private:
  std::future<MaybeType<Failure, void>> Fulfilled(MaybeType<Failure, void> result);
  const TypeRegistry& Registry() const;

  AppModule& module_;
};

namespace detail {
Failure TelemetryParameterFailure(std::string_view path, std::string_view error);
}

template <typename T>
std::future<MaybeType<Failure, void>> TelemetrySender::SendEvent(std::string_view name,
                                                                 const T& payload) {
  auto converted = ToBinding(payload, Registry());
  if (converted.Failed()) {
    return Fulfilled(detail::TelemetryParameterFailure(PathOf(name), converted.ErrorMessage()));
  }
  return SendEvent(name, *converted);
}

}  // namespace qor
