// The inputs of qor-bench: a storefront catalog of 2,000 items shaped like CatalogItem, a
// Wallet reply and a LoginSession, made deterministically (the same bytes on every run and
// machine) and given as JSON, MessagePack and YAML block text.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qor::bench {

inline constexpr int kCatalogItems = 2000;

struct Inputs {
  std::string catalogJson;                   // compact, keys in ascending order
  std::vector<std::uint8_t> catalogMsgPack;  // the same values, maps with keys in the same order
  std::string catalogYaml;                   // block style, strings double-quoted
  std::string walletJson;
  std::string loginSessionJson;
};

// Made on first use and kept for the life of the program.
const Inputs& BenchInputs();

}  // namespace qor::bench
