// The endpoint table handed to the host at load: every function of a Dispatcher (with the
// call entry and context word through which the host delivers its calls) and every type and
// event of the Dispatcher's registry.
//
// The table owns its entries and the few texts it composes; the other texts point into the
// registry's records and the Dispatcher's functions, so both must outlive it. Build it once,
// after registration: functions, types or events added later are not in it.
#ifndef QOR_API_ENDPOINT_TABLE_H_
#define QOR_API_ENDPOINT_TABLE_H_

#include <deque>
#include <string>
#include <vector>

#include "api/dispatch.h"
#include "api/host_abi.h"

namespace qor {

class EndpointTable {
 public:
  explicit EndpointTable(const Dispatcher& dispatcher);
  EndpointTable(const EndpointTable&) = delete;
  EndpointTable& operator=(const EndpointTable&) = delete;

  const PluginEndpointTable& Descriptor() const { return descriptor_; }

 private:
  const char* Keep(std::string text);
  const char* const* KeepTags(const std::vector<std::string>& tags, uint32_t& count);
  const char* TypeNameOf(const TypeDescriptor& type, const TypeRegistry& registry);

  std::deque<std::string> texts_;
  std::deque<std::vector<const char*>> tagLists_;
  std::deque<std::vector<PluginParameterEntry>> parameterLists_;
  std::deque<std::vector<PluginFieldEntry>> fieldLists_;
  std::deque<std::vector<PluginEnumeratorEntry>> enumeratorLists_;
  std::vector<PluginFunctionEntry> functions_;
  std::vector<PluginTypeEntry> types_;
  std::vector<PluginEventEntry> events_;
  PluginEndpointTable descriptor_{};
};

}  // namespace qor

#endif  // QOR_API_ENDPOINT_TABLE_H_
