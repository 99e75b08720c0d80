#include "host/storefront/demo.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <limits>
#include <utility>
#include <vector>

#include "host/json_value.h"

namespace qor::host {
namespace {

constexpr std::string_view kDemoFolder = "examples/demo";
constexpr int kLevelsUp = 8;
constexpr std::string_view kSessionUri = "/qor-login/v1/session";
constexpr std::string_view kUseVmsUri = "/qor-platform-config/v1/namespaces/MBXStore/UseVMS";
constexpr std::string_view kWalletPushUri = "/vaxo-messaging-service/v1/message/store/v1/wallet";
constexpr std::string_view kOwnedUri = "/qor-inventory/v1/owned";
constexpr std::string_view kOrderPushUri = "/vaxo-messaging-service/v1/message/cap/v1/orders";
constexpr std::string_view kBalanceMessageClass =
    "com.vaxoworks.platform.messaging.StoreAccountBalanceNotification";

bool IsFile(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

std::string ExecutableDirectory() {
  char buffer[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
  if (length <= 0) return std::string();
  const std::string exe(buffer, static_cast<size_t>(length));
  return exe.substr(0, exe.rfind('/'));
}

// An integer member read into `out`; false when it is absent, not an integer, or outside
// [low, high].
bool ReadInteger(const BindingProperty& payload, std::string_view key, int64_t low, int64_t high,
                 int64_t& out) {
  const BindingProperty* member = payload.FindMember(key);
  if (member == nullptr) return false;
  if (member->Kind() == BindingKind::Signed) {
    out = member->GetSigned();
  } else if (member->Kind() == BindingKind::Unsigned &&
             member->GetUnsigned() <= static_cast<uint64_t>(INT64_MAX)) {
    out = static_cast<int64_t>(member->GetUnsigned());
  } else {
    return false;
  }
  return out >= low && out <= high;
}

bool ReadText(const BindingProperty& payload, std::string_view key, std::string& out) {
  const BindingProperty* member = payload.FindMember(key);
  if (member == nullptr || member->Kind() != BindingKind::String) return false;
  out = std::string(member->GetString());
  return true;
}

int64_t MillisecondsSinceEpoch() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// A messaging-service message carrying `payload` (JSON text) for `resource` of `service`.
std::string VmsMessage(std::string_view resource, std::string_view service,
                       const std::string& payload) {
  return "{\"payload\":" + JsonQuote(payload) + ",\"resource\":" + JsonQuote(resource) +
         ",\"service\":" + JsonQuote(service) +
         ",\"timestamp\":" + std::to_string(MillisecondsSinceEpoch()) + ",\"version\":\"1.0\"}";
}

std::string OrderId(uint64_t orderNumber) {
  char text[40];
  std::snprintf(text, sizeof(text), "00000000-0000-4000-9000-%012llx",
                static_cast<unsigned long long>(orderNumber));
  return text;
}

// The platform's pushes after an accepted purchase.
void PushPurchase(SimulatedPeers& peers, uint64_t accountId, const PurchaseOutcome& outcome,
                  const StorefrontState& state) {
  bool useVms = false;
  if (std::optional<std::string> json = peers.ResourceJson(std::string(kUseVmsUri))) {
    MaybeType<Failure, BindingProperty> value = JsonToProperty(*json);
    useVms = value && value->ToBool();
  }
  const Balances& balances = outcome.balances;
  if (useVms) {
    const std::string wallet = "{\"accountId\":" + std::to_string(accountId) +
                               ",\"balances\":[{\"amount\":" + std::to_string(balances.ip) +
                               ",\"currency\":\"IP\"},{\"amount\":" + std::to_string(balances.vp) +
                               ",\"currency\":\"VP\"}]}";
    (void)peers.PutResource(std::string(kWalletPushUri),
                            VmsMessage("/store/v1/wallet", "store", wallet));
  } else {
    (void)peers.PushLcdsMessage("{\"body\":{\"ip\":" + std::to_string(balances.ip) +
                                ",\"vp\":" + std::to_string(balances.vp) +
                                "},\"typeName\":" + JsonQuote(kBalanceMessageClass) + "}");
  }
  const std::string order =
      "{\"eventType\":\"PURCHASE\",\"eventTypeId\":" + JsonQuote(OrderId(outcome.orderNumber)) +
      ",\"status\":\"COMPLETED\"}";
  (void)peers.PutResource(std::string(kOrderPushUri), VmsMessage("/cap/v1/orders", "cap", order));
  (void)peers.PutResource(std::string(kOwnedUri), state.OwnedJson());
}

}  // namespace

MaybeType<Failure, std::string> FindDemoFile(std::string_view name) {
  std::vector<std::string> looked;
  std::string directory = ExecutableDirectory();
  for (int level = 0; level <= kLevelsUp && !directory.empty(); ++level) {
    const std::string candidate =
        directory + "/" + std::string(kDemoFolder) + "/" + std::string(name);
    if (IsFile(candidate)) return candidate;
    const size_t slash = directory.rfind('/');
    directory =
        slash == std::string::npos || slash == 0 ? std::string() : directory.substr(0, slash);
  }
  looked.push_back("the folders above " + ExecutableDirectory());
#ifdef QOR_DEMO_SOURCE_DIR
  const std::string source = std::string(QOR_DEMO_SOURCE_DIR) + "/" + std::string(name);
  if (IsFile(source)) return source;
  looked.push_back(QOR_DEMO_SOURCE_DIR);
#endif
  std::string where;
  for (size_t i = 0; i < looked.size(); ++i)
    where += (i > 0 ? " and in " : "") + looked[i];
  return Failure(404, "The demo file " + std::string(kDemoFolder) + "/" + std::string(name) +
                          " was not found (looked in " + where + ")");
}

MaybeType<Failure, std::unique_ptr<StorefrontStub>> StartScenarioStorefront(Scenario& scenario) {
  const ScenarioStorefront& settings = *scenario.storefront;
  MaybeType<Failure, StorefrontCatalog> catalog = StorefrontCatalog::Load(settings.catalog);
  if (!catalog) return Failure(catalog.Status(), "Storefront: " + catalog.ErrorMessage());
  StorefrontAccount account;
  account.balances = Balances{settings.ip, settings.vp};
  account.owned = settings.owned;
  for (auto& [uri, json] : scenario.resources) {
    if (uri != kSessionUri) continue;
    MaybeType<Failure, BindingProperty> session = JsonToProperty(json);
    if (!session) continue;
    // A token of this start's own, which the session resource hands to the store.
    account.token = MakeRandomPassword();
    session->MutableMember("idToken") = account.token;
    MaybeType<Failure, std::string> updated = PropertyToJson(*session);
    if (!updated) return Failure(500, "Storefront: " + updated.ErrorMessage());
    json = std::move(*updated);
    const BindingProperty& id = session->Member("accountId");
    account.accountId = id.Kind() == BindingKind::Unsigned ? id.GetUnsigned()
                                                           : static_cast<uint64_t>(id.ToSigned());
  }
  auto state = std::make_shared<StorefrontState>(std::move(*catalog), std::move(account));
  MaybeType<Failure, std::unique_ptr<StorefrontStub>> stub =
      StorefrontStub::Start("127.0.0.1", 0, std::move(state));
  if (!stub) return Failure(stub.Status(), "Storefront: " + stub.ErrorMessage());
  return stub;
}

PurchaseRequest ReadPurchaseRequest(const BindingProperty& payload) {
  PurchaseRequest request;
  int64_t accountId = 0;
  int64_t itemId = 0;
  bool complete = payload.Kind() == BindingKind::Structure;
  complete = ReadInteger(payload, "accountId", 0, INT64_MAX, accountId) && complete;
  complete = ReadInteger(payload, "itemId", INT32_MIN, INT32_MAX, itemId) && complete;
  complete = ReadText(payload, "itemType", request.itemType) && complete;
  complete = ReadInteger(payload, "quantity", INT64_MIN, INT64_MAX, request.quantity) && complete;
  complete = ReadText(payload, "currencyType", request.currency) && complete;
  complete = ReadInteger(payload, "cost", INT64_MIN, INT64_MAX, request.cost) && complete;
  request.accountId = static_cast<uint64_t>(accountId);
  request.itemId = static_cast<int32_t>(itemId);
  request.complete = complete;
  return request;
}

void InstallStoreProxy(SimulatedPeers& peers, std::shared_ptr<StorefrontState> state,
                       WorkPoster post) {
  (void)peers.PutResource(std::string(kOwnedUri), state->OwnedJson());
  peers.SetServiceProxyHandler(
      "store.zuvstoreproxy", "purchaseItem",
      [&peers, state = std::move(state), post = std::move(post)](const BindingProperty& payload) {
        const PurchaseRequest request = ReadPurchaseRequest(payload);
        const PurchaseOutcome outcome = state->Purchase(request, NowIsoText());
        ServiceProxyAnswer answer;
        if (!outcome.Succeeded()) {
          answer.payloadJson = "{\"errorCode\":" + std::to_string(static_cast<int>(outcome.error)) +
                               ",\"errorMessage\":" + JsonQuote(outcome.message) + "}";
          return answer;
        }
        answer.payloadJson = "{}";
        // Posted now, the work runs before the answer's event is delivered (the peer queues
        // that after this handler returns); the pushes it makes are queued behind the answer.
        post([&peers, accountId = request.accountId, outcome, state] {
          PushPurchase(peers, accountId, outcome, *state);
        });
        return answer;
      });
}

}  // namespace qor::host
