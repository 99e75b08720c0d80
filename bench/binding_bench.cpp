// Building and destroying BindingProperty trees shaped like a store catalog of 2,000 items.
//
// Reports, per iteration, the general-purpose allocations (operator new calls) and their
// bytes per node, beside the time. The counts come from a replacement of the global
// operator new/delete in this program, so keep this benchmark in an executable of its own.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "binding/detail/context.h"
#include "binding/property.h"

namespace {
std::atomic<std::uint64_t> gAllocations{0};
std::atomic<std::uint64_t> gAllocatedBytes{0};
// Kept out of line so that the compiler does not pair the replaced operators with malloc/free.
[[gnu::noinline]] void* Take(std::size_t size) {
  return std::malloc(size == 0 ? 1 : size);
}
[[gnu::noinline]] void Give(void* block) {
  std::free(block);
}
}  // namespace

void* operator new(std::size_t size) {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  gAllocatedBytes.fetch_add(size, std::memory_order_relaxed);
  if (void* block = Take(size)) return block;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
  return operator new(size);
}
void operator delete(void* block) noexcept {
  Give(block);
}
void operator delete[](void* block) noexcept {
  Give(block);
}
void operator delete(void* block, std::size_t) noexcept {
  Give(block);
}
void operator delete[](void* block, std::size_t) noexcept {
  Give(block);
}

namespace {

using qor::BindingProperty;

constexpr int kItems = 2000;

// The texts of the items, made once so that the counts show the tree's own allocations.
struct ItemTexts {
  std::string iconUrl;
  std::string description;
  std::string name;
  std::string tier;
};

const std::vector<ItemTexts>& Texts() {
  static const std::vector<ItemTexts> texts = [] {
    std::vector<ItemTexts> all;
    for (int i = 0; i < kItems; ++i) {
      all.push_back({"/fe/lol-store/assets/champions/skin" + std::to_string(i) + ".jpg",
                     "A skin for champion number " + std::to_string(i), "Skin " + std::to_string(i),
                     "tier" + std::to_string(i % 5)});
    }
    return all;
  }();
  return texts;
}

// One catalog item: 27 nodes, like the storefront's catalog entries.
void AddItem(BindingProperty& catalog, int index) {
  const ItemTexts& texts = Texts()[static_cast<std::size_t>(index)];
  BindingProperty& item = catalog.Append();
  item.SetStructure(12);
  // Members in key order, as a reader of sorted JSON meets them.
  item.MutableMember("active") = true;
  item.MutableMember("iconUrl") = texts.iconUrl;
  item.MutableMember("inventoryType") = index % 3 == 0 ? "CHAMPION" : "CHAMPION_SKIN";
  item.MutableMember("itemId") = index;
  BindingProperty& localizations = item.MutableMember("localizations");
  BindingProperty& english = localizations.MutableMember("en_US");
  english.MutableMember("description") = texts.description;
  english.MutableMember("name") = texts.name;
  BindingProperty& prices = item.MutableMember("prices");
  prices.Reserve(2);
  for (int p = 0; p < 2; ++p) {
    BindingProperty& price = prices.Append();
    price.SetStructure(4);
    price.MutableMember("cost") = 975 + 10 * p;
    price.MutableMember("costType") = "Standard";
    price.MutableMember("currency") = p == 0 ? "RP" : "IP";
    price.MutableMember("sale");
  }
  item.MutableMember("releaseDate") = "2013-05-14T00:00:00.000Z";
  item.MutableMember("sale");
  item.MutableMember("subInventoryType") = "";
  BindingProperty& tags = item.MutableMember("tags");
  tags.Append() = "fighter";
  tags.Append() = "legacy";
  tags.Append() = texts.tier;
}

std::size_t CountNodes(const BindingProperty& value) {
  std::size_t nodes = 1;
  for (const BindingProperty& element : value.Elements())
    nodes += CountNodes(element);
  for (const qor::BindingMember& member : value.Members())
    nodes += CountNodes(member.Value());
  return nodes;
}

void BM_BuildAndDestroyCatalog(benchmark::State& state) {
  std::size_t nodes = 0;
  Texts();
  {
    BindingProperty probe;
    probe.SetCollection(kItems);
    for (int i = 0; i < kItems; ++i)
      AddItem(probe, i);
    nodes = CountNodes(probe);
  }
  std::uint64_t allocations = 0;
  std::uint64_t bytes = 0;
  std::size_t pages = 0;
  for (auto _ : state) {
    std::uint64_t allocationsBefore = gAllocations.load();
    std::uint64_t bytesBefore = gAllocatedBytes.load();
    {
      BindingProperty catalog;
      catalog.SetCollection(kItems);
      for (int i = 0; i < kItems; ++i)
        AddItem(catalog, i);
      pages = catalog.Context()->PagesHeld();
      benchmark::DoNotOptimize(catalog);
    }
    allocations += gAllocations.load() - allocationsBefore;
    bytes += gAllocatedBytes.load() - bytesBefore;
  }
  const double iterations = static_cast<double>(state.iterations());
  state.counters["nodes"] = static_cast<double>(nodes);
  state.counters["allocs/node"] = static_cast<double>(allocations) / iterations / nodes;
  state.counters["bytes/node"] = static_cast<double>(bytes) / iterations / nodes;
  state.counters["pages"] = static_cast<double>(pages);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * kItems);
}
BENCHMARK(BM_BuildAndDestroyCatalog)->Unit(benchmark::kMillisecond);

void BM_CopyCatalogIntoAnotherTree(benchmark::State& state) {
  BindingProperty catalog;
  catalog.SetCollection(kItems);
  for (int i = 0; i < kItems; ++i)
    AddItem(catalog, i);
  for (auto _ : state) {
    BindingProperty copy(catalog);
    benchmark::DoNotOptimize(copy);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * kItems);
}
BENCHMARK(BM_CopyCatalogIntoAnotherTree)->Unit(benchmark::kMillisecond);

void BM_LookUpMembers(benchmark::State& state) {
  BindingProperty catalog;
  catalog.SetCollection(kItems);
  for (int i = 0; i < kItems; ++i)
    AddItem(catalog, i);
  std::int64_t sum = 0;
  for (auto _ : state) {
    for (const BindingProperty& item : catalog.Elements()) {
      sum += item.Member("itemId").GetSigned();
      sum += static_cast<std::int64_t>(item.Member("prices").Element(0).Member("cost").GetSigned());
    }
  }
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * kItems);
}
BENCHMARK(BM_LookUpMembers);

}  // namespace

BENCHMARK_MAIN();
