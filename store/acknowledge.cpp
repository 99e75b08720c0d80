// Acknowledgement of dialog messages.
//
// The client acknowledges a dialog message it has shown by its message id; the store passes
// that on to the legacy service's persistence messaging. Showing a toast does not acknowledge
// anything by itself.
#include <string>

#include "foundation/log.h"
#include "runtime/lcds.h"
#include "store/store_module.h"

namespace qor {

namespace {

namespace api = Vaxo::Client::Store::Api;

constexpr std::string_view kAckDestination = "clientFacadeService";
constexpr std::string_view kAckMethod = "callPersistenceMessaging";

}  // namespace

MaybeType<Failure, BindingProperty> StoreModule::AcknowledgeNotification(const std::string& id) {
  api::StoreLcdsSimpleDialogMessageResponse response;
  response.accountId = accountId;  // 0 when nobody is logged in
  response.msgId = id;
  response.command = "ack";
  MaybeType<Failure, void> acknowledged =
      Await(Lcds().Call<void>(kAckDestination, kAckMethod, response));
  if (acknowledged.Failed()) {
    Log(LogLevel::Error, log_group::kDbg, "Failed to acknowledge qor-store notification with id:%s",
        id);
    return Failure::InternalServerError(acknowledged.ErrorMessage());
  }
  Log(LogLevel::Always, log_group::kDbg, "Acknowledged qor-store notification with id:%s", id);
  return BindingProperty();
}

}  // namespace qor
