// The demo inside qor-host: the storefront stub a scenario asks for, and the store proxy
// simulated in the login peer, both working on one StorefrontState.
//
// The store proxy's "store.zuvstoreproxy"."purchaseItem" sells the catalog's champion skins
// (StorefrontState::Purchase). An accepted purchase answers {} and, once that answer is on its
// way, the platform's pushes follow:
//   - a wallet update: with "/qor-platform-config/v1/namespaces/MBXStore/UseVMS" true, the
//     messaging-service resource "/vaxo-messaging-service/v1/message/store/v1/wallet" whose
//     payload is {"accountId", "balances": [{"currency": "IP", "amount"}, {"currency": "VP",
//     "amount"}]}; otherwise the legacy-service message
//     "com.vaxoworks.platform.messaging.StoreAccountBalanceNotification" {"ip", "vp"};
//   - an order: the resource "/vaxo-messaging-service/v1/message/cap/v1/orders" whose payload
//     is {"eventTypeId": ORDER ID, "eventType": "PURCHASE", "status": "COMPLETED"}.
// The owned items are the resource "/qor-inventory/v1/owned", [{"inventoryType", "itemId"}],
// set at install and after each accepted purchase (after the pushes).
// A refused purchase answers {"errorCode": N, "errorMessage": "..."} and pushes nothing.
//
// Thread rule: the functions are stateless; the installed handler may run on any thread.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "binding/maybe.h"
#include "binding/property.h"
#include "host/platform/peers.h"
#include "host/platform/scenario.h"
#include "host/storefront/storefront.h"
#include "host/storefront/storefront_state.h"

namespace qor::host {

// The file `name` of the demo folder examples/demo: the first one found in the folders
// above the running executable (its own folder first, at most eight levels up), otherwise in
// the source tree the executable was built from. Fails (status 404) with a message saying
// where it looked.
MaybeType<Failure, std::string> FindDemoFile(std::string_view name);

// The stub for the scenario's "storefront" (REQUIRES: present): its catalog, balances and owned
// items, with the account id of the scenario's "/qor-login/v1/session" and a random token made
// for this start, written into that resource's "idToken" (no token, when the scenario has no
// session: every request is then refused). Listens on a free loopback port.
MaybeType<Failure, std::unique_ptr<StorefrontStub>> StartScenarioStorefront(Scenario& scenario);

// A "purchaseItem" payload read: numbers of any integer kind, texts as texts; `complete` is
// false when a member is missing or of another kind.
PurchaseRequest ReadPurchaseRequest(const BindingProperty& payload);

// Runs `work` on the host's work thread after what is queued now.
using WorkPoster = std::function<void(std::function<void()> work)>;

// Makes `peers` answer "store.zuvstoreproxy"."purchaseItem" from `state` and push what the
// platform would after a purchase (see the top of this file). `peers` must outlive every
// work item posted.
void InstallStoreProxy(SimulatedPeers& peers, std::shared_ptr<StorefrontState> state,
                       WorkPoster post);

}  // namespace qor::host
