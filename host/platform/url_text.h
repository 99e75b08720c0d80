// Making a URL that the plug-in formed sendable over HTTP.
//
// The store inserts values into its storefront URLs unchanged (a gift message may hold blanks).
// Before such a URL goes out, the characters that an HTTP request line cannot carry are
// percent-encoded; everything else, including "%XX" sequences already present and the
// reserved characters that give the URL its structure, is left exactly as it was.
//
// Thread rule: stateless, any thread.
#pragma once

#include <string>
#include <string_view>

namespace qor::host {

// Encodes as "%XX" (upper-case hexadecimal): control bytes and the blank (0x00-0x20), DEL
// (0x7F), every byte from 0x80 (UTF-8 sequences, byte by byte), the characters
// " < > \ ^ ` { | } and "#" (a request target has no fragment; the store never means one), and
// a "%" that is not followed by two hexadecimal digits. Everything else is copied.
std::string EncodeUnsafeUrlCharacters(std::string_view url);

}  // namespace qor::host
