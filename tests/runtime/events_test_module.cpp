#include "tests/runtime/events_test_module.h"

#include <vector>

#include "api/host_value.h"
#include "foundation/format.h"

namespace qor::events_test {

namespace {

std::string_view MethodText(std::uint32_t method) {
  switch (method) {
    case PLUGIN_METHOD_GET:
      return "GET";
    case PLUGIN_METHOD_POST:
      return "POST";
    default:
      return "";
  }
}

}  // namespace

void EventsTestModule::OnEvent(const PluginEvent* event) {
  static_cast<EventsTestModule*>(event->context)->events.OnHostEvent(*event);
}

void EventsTestModule::OnScheduled(void* context) {
  auto* entry = static_cast<ScheduledEntry*>(context);
  EventsTestModule* module = entry->module;
  const std::uint64_t number = entry->number;
  entry->callable();
  module->scheduled_.erase(number);
}

void EventsTestModule::SubscribeEvent(const std::string& name, std::uint32_t flags) {
  api_->SubscribeEvent(api_, name.c_str(), kPluginHandle, &OnEvent, this, flags);
}

void EventsTestModule::UnsubscribeEvent(const std::string& name) {
  api_->UnsubscribeEvent(api_, name.c_str(), kPluginHandle);
}

void EventsTestModule::PublishEvent(const PluginEvent& event) {
  api_->PublishEvent(api_, &event);
}

MaybeType<Failure, BindingProperty> EventsTestModule::LocalCall(
    std::uint32_t method, std::string_view path, std::span<const BindingProperty> params) {
  std::vector<HostArgument> arguments(params.size());
  for (std::size_t i = 0; i < params.size(); ++i) {
    if (WriteHostValue(params[i], arguments[i].value).Failed()) {
      for (HostArgument& argument : arguments)
        FreeHostValue(argument.value);
      return Failure(400, "Request not sent");
    }
  }
  const std::string pathText(path);
  PluginLocalRequest request{};
  request.method = method;
  request.path = pathText.c_str();
  request.arguments = arguments.data();
  request.argumentCount = static_cast<std::uint32_t>(arguments.size());
  request.callerHandle = kPluginHandle;
  PluginLocalResponse response{};
  api_->SendLocalRequest(api_, &response, &request);
  for (HostArgument& argument : arguments)
    FreeHostValue(argument.value);

  MaybeType<Failure, BindingProperty> result;
  if (response.errorText != nullptr) {
    result = Failure(static_cast<int>(response.status),
                     Format("Error response for %1 %2: %3", MethodText(method), pathText,
                            std::string_view(response.errorText)));
  } else {
    result = ReadHostValue(response.body, "<result>");
  }
  if (response.release != nullptr) response.release(&response);
  return result;
}

void EventsTestModule::Schedule(std::string label, std::function<void()> callable) {
  const std::uint64_t number = nextNumber_++;
  auto entry = std::make_unique<ScheduledEntry>(ScheduledEntry{this, number, std::move(callable)});
  ScheduledEntry* raw = entry.get();
  scheduled_.emplace(number, std::move(entry));
  api_->ScheduleCallback(api_, label.c_str(), &OnScheduled, raw, 0.0, 0);
}

void EventsTestModule::BeginWait(std::string_view label) {
  const std::string text(label);
  api_->BeginWait(api_, text.c_str(), 0);
}

void EventsTestModule::RunPendingWork() {
  api_->RunPendingWork(api_);
}

void EventsTestModule::EndWait() {
  api_->EndWait(api_);
}

void EventsTestModule::Shutdown() {
  shuttingDown = true;
  proxy.Stop();
  lcds.Stop();
  events.Stop();
}

}  // namespace qor::events_test
