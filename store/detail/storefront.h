// Helpers shared by the store's storefront requests.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <unordered_map>

namespace qor::detail {

// The header table of one storefront request: a copy of the store's header map, taken when
// the request is made.
std::map<std::string, std::string> StorefrontHeaderCopy(
    const std::unordered_map<std::string, std::string>& headers);

// The store URL in the platform's reply: the part before the first '?', without one trailing
// '/'. Empty when the platform has none.
std::string_view StoreUrlFromPlatformReply(std::string_view reply);

// `value` made fit for one path segment or one query value of a storefront URL: every byte
// except the unreserved characters of RFC 3986 (letters, digits, '-', '.', '_', '~') as "%XX"
// (upper-case hex). Plain values come out unchanged.
std::string UrlComponent(std::string_view value);

}  // namespace qor::detail
