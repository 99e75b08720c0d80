// TreeBuilder: builds one BindingProperty tree from a reader's events in a single pass.
//
// The values of the open containers wait on two scratch stacks (elements and members) in the
// tree's context. When a container closes, its values move into an array of exactly their
// count and leave the stack, so no container is ever regrown and no value is copied. Members
// are then put in ascending key order with a repeated key keeping its last value; for input
// whose keys already come in order (what every writer of this system emits) that costs one
// comparison per member.
//
// The stacks grow with the values actually read, never with counts an input declares. A reader
// that fails calls Discard(), which drops the partial tree with its whole context.
//
// Documents repeat a few texts many times (every key of every record, enumerated values). The
// builder remembers the entries of recently interned short texts in a small direct-mapped table,
// indexed by the text's length and end bytes, and a text found there costs one comparison
// instead of its hash and a probe of the tree's string table. The table holds a reference to
// each entry it keeps, so that an entry the tree drops (a repeated key) stays valid while it
// is remembered; the builder gives those references back when it finishes.
//
// The other texts of String values (long ones, and short ones not found among the recent) can
// wait: StringValue() leaves a placeholder and notes the text, and the builder interns such
// texts in batches of 32. A batch computes the FNV-1a chains of four texts side by side (each
// chain is a sequence of dependent multiplications, so one text at a time leaves the multiplier
// idle), and touches the string table's buckets for the whole batch before it probes any, so
// that their cache misses overlap. A waiting value is found by its index on its stack until its
// container closes, then by its final address; a Structure about to be sorted first has every
// waiting text interned.
//
// Used by the JSON, MessagePack and YAML readers; one builder per read, one thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <string_view>

#include "binding/detail/context.h"
#include "binding/property.h"

namespace qor::detail {

// A growable stack of trivially copyable slots, the first `N` of them inside the object.
template <typename T, std::size_t N>
class ScratchStack {
 public:
  ScratchStack() = default;
  ScratchStack(const ScratchStack&) = delete;
  ScratchStack& operator=(const ScratchStack&) = delete;
  ~ScratchStack() {
    if (data_ != inline_) ::operator delete(data_);
  }

  T* Push() {
    if (size_ == capacity_) Grow();
    return &data_[size_++];
  }
  std::size_t Size() const noexcept { return size_; }
  bool Empty() const noexcept { return size_ == 0; }
  T& operator[](std::size_t index) noexcept { return data_[index]; }
  const T& operator[](std::size_t index) const noexcept { return data_[index]; }
  T& Back() noexcept { return data_[size_ - 1]; }
  void Truncate(std::size_t size) noexcept { size_ = size; }

 private:
  void Grow() {
    const std::size_t capacity = capacity_ * 2;
    auto* data = static_cast<T*>(::operator new(capacity * sizeof(T)));
    std::memcpy(static_cast<void*>(data), static_cast<const void*>(data_), size_ * sizeof(T));
    if (data_ != inline_) ::operator delete(data_);
    data_ = data;
    capacity_ = capacity;
  }

  T inline_[N];
  T* data_ = inline_;
  std::size_t size_ = 0;
  std::size_t capacity_ = N;
};

class TreeBuilder {
 public:
  // REQUIRES: `root` is a root value and Empty.
  explicit TreeBuilder(BindingProperty& root) noexcept : root_(&root) {}
  // A builder left with open containers drops the partial tree (see Discard()).
  // REQUIRES: the root, and so its context, outlives the builder.
  ~TreeBuilder();
  TreeBuilder(const TreeBuilder&) = delete;
  TreeBuilder& operator=(const TreeBuilder&) = delete;

  // The number of distinct texts the reader expects, for the tree's string table to make room
  // for when the first container opens.
  void ExpectTexts(std::size_t texts) noexcept { expectedTexts_ = texts; }
  // Open containers.
  std::size_t Depth() const noexcept { return frames_.Size(); }
  // True when the innermost open container is a Structure.
  bool InStructure() const noexcept {
    return !frames_.Empty() && frames_[frames_.Size() - 1].structure;
  }

  // The slot of the next value: the root at depth 0; inside a Collection a new element; inside
  // a Structure the member named by the last Key(). Valid until the next call to the builder.
  BindingProperty& Value() {
    if (frames_.Empty()) return *root_;
    if (frames_.Back().structure) return MemberValue(members_.Back());
    return PushElement();
  }
  // Inside a Structure: names the member that the next value (or container) fills.
  void Key(std::string_view key) {
    InternedString* interned = InternRecent(key);
    new (members_.Push()->bytes) BindingMember(interned, context_);
  }
  // Sets the next value (see Value()) to the String `text`, whose bytes must stay readable and
  // unchanged until the builder is destroyed or discarded.
  void StringValue(std::string_view text) {
    if (frames_.Empty()) {
      root_->SetString(text);
      return;
    }
    const bool member = frames_.Back().structure;
    BindingProperty& slot = member ? MemberValue(members_.Back()) : PushElement();
    slot.kind_ = BindingKind::String;
    const std::size_t length = text.size();
    std::size_t recent = kRecentSlots;  // none
    if (length - 1 < kMaxRecentLength) {
      recent = RecentIndex(text.data(), length);
      if (InternedString* held = Recent(recent, text)) {
        slot.payload_.string = held;
        return;
      }
    }
    slot.payload_.string = EmptyInternedString();  // the empty text, or a placeholder
    if (length == 0) return;
    const std::size_t index = member ? members_.Size() - 1 : elements_.Size() - 1;
    *pending_.Push() = {text.data(),
                        nullptr,
                        static_cast<std::uint32_t>(length),
                        0,
                        static_cast<std::uint32_t>(index),
                        static_cast<std::uint16_t>(recent),
                        member};
    if (pending_.Size() == kPendingBatch) InternPending();
  }
  // Sets `slot`, an Empty value just returned by Value(), to the String `text` at once.
  void SetString(BindingProperty& slot, std::string_view text) {
    if (frames_.Empty()) {
      slot.SetString(text);  // the root itself
      return;
    }
    slot.payload_.string = InternRecent(text);
    slot.kind_ = BindingKind::String;
  }
  // Opens a container as the next value.
  void OpenCollection() { Open(false); }
  void OpenStructure() { Open(true); }
  // Closes the innermost container and returns it (valid until the next call).
  // REQUIRES: Depth() > 0.
  BindingProperty& Close();
  // Drops everything built so far, the root's context included, and leaves the root Empty.
  void Discard() noexcept;

 private:
  struct RawElement {
    alignas(BindingProperty) unsigned char bytes[sizeof(BindingProperty)];
  };
  struct RawMember {
    alignas(BindingMember) unsigned char bytes[sizeof(BindingMember)];
  };
  enum class SlotKind : std::uint8_t { Root, Element, Member };
  struct Frame {
    std::uint32_t childStart;    // first value of the container on its stack
    std::uint32_t slot;          // the container's own slot on its parent's stack
    std::uint32_t pendingStart;  // texts waiting when the container opened
    SlotKind slotKind;
    bool structure;
  };
  // A String value whose text waits to be interned.
  struct Pending {
    const char* text;
    BindingProperty* value;  // its final place once its container has closed, else null
    std::uint32_t length;
    std::uint32_t hash;
    std::uint32_t index;   // while value is null: its index on the member or element stack
    std::uint16_t recent;  // the slot of the table of recent entries to keep it in, if any
    bool member;
  };
  static constexpr std::size_t kPendingBatch = 32;

  static BindingProperty& ElementValue(RawElement& raw) noexcept {
    return *std::launder(reinterpret_cast<BindingProperty*>(raw.bytes));
  }
  static BindingMember& Member(RawMember& raw) noexcept {
    return *std::launder(reinterpret_cast<BindingMember*>(raw.bytes));
  }
  static BindingProperty& MemberValue(RawMember& raw) noexcept { return Member(raw).value_; }
  // Whether `a`'s key comes strictly before `b`'s. Keys in order mostly differ within their
  // first eight bytes, or in their first, which decide without a call to memcmp.
  static bool InOrder(const RawMember& a, const RawMember& b) noexcept {
    const std::string_view first = KeyOf(a);
    const std::string_view second = KeyOf(b);
    if (first.size() >= 8 && second.size() >= 8) {
      std::uint64_t x, y;
      std::memcpy(&x, first.data(), 8);
      std::memcpy(&y, second.data(), 8);
      if (x != y) return __builtin_bswap64(x) < __builtin_bswap64(y);
    } else if (!first.empty() && !second.empty() && first[0] != second[0]) {
      return static_cast<unsigned char>(first[0]) < static_cast<unsigned char>(second[0]);
    }
    return first < second;
  }
  static std::string_view KeyOf(const RawMember& raw) noexcept {
    return std::launder(reinterpret_cast<const BindingMember*>(raw.bytes))->Key();
  }

  // Texts of 1 to kMaxRecentLength bytes go through the table of recent entries.
  static constexpr std::size_t kRecentSlots = 256;
  static constexpr std::size_t kMaxRecentLength = 32;
  static std::size_t RecentIndex(const char* text, std::size_t length) noexcept {
    std::uint64_t ends;
    if (length >= 4) {
      std::uint32_t head, tail;
      std::memcpy(&head, text, 4);
      std::memcpy(&tail, text + length - 4, 4);
      ends = (std::uint64_t{tail} << 32) | head;
    } else {
      ends = static_cast<unsigned char>(text[0]) |
             (static_cast<unsigned char>(text[length / 2]) << 8) |
             (static_cast<unsigned char>(text[length - 1]) << 16);
    }
    return static_cast<std::size_t>(((ends ^ length) * 0x9E3779B97F4A7C15ull) >> 56);
  }
  // The entry of `text` in slot `index` of the table of recent entries, with one more
  // reference, or null when the slot holds another text.
  InternedString* Recent(std::size_t index, std::string_view text) noexcept {
    InternedString* held = recent_[index];
    if (held == nullptr || held->length != text.size() ||
        !SameBytes(held->Data(), text.data(), text.size())) {
      return nullptr;
    }
    ++held->references;
    return held;
  }
  InternedString* InternRecent(std::string_view text) {
    const std::size_t length = text.size();
    if (length - 1 >= kMaxRecentLength) return context_->Intern(text);
    const std::size_t index = RecentIndex(text.data(), length);
    if (InternedString* held = Recent(index, text)) return held;
    InternedString* entry = context_->Intern(text);
    Remember(index, entry);
    return entry;
  }
  // Keeps `entry` in slot `index` of the table of recent entries, giving back the one it held.
  void Remember(std::size_t index, InternedString* entry);
  // Gives back the references of the table of recent entries and empties it.
  void ForgetRecent() noexcept;
  // Interns every waiting text and sets its value.
  void InternPending();
  // Notes the final places of the waiting values of the container that closes, whose values
  // (from `childStart` on their stack) are now at `elements` or `members`.
  void PlacePending(std::uint32_t pendingStart, std::size_t childStart, BindingProperty* elements,
                    BindingMember* members) noexcept;
  // Computes the hash of each waiting text.
  static void HashPending(Pending* items, std::size_t count) noexcept;

  BindingProperty& PushElement() {
    return *new (elements_.Push()->bytes) BindingProperty(BindingProperty::ChildTag{}, context_);
  }
  void Open(bool structure);
  void CloseCollection(BindingProperty& target, const Frame& frame);
  void CloseStructure(BindingProperty& target, const Frame& frame);
  // Sorts the members by key and drops all but the last of each repeated key; the new count.
  std::size_t SortMembers(RawMember* first, std::size_t count);

  BindingProperty* root_;
  BindingContext* context_ = nullptr;  // the root's, from the first container on
  ScratchStack<Frame, 32> frames_;
  ScratchStack<RawElement, 16> elements_;
  ScratchStack<RawMember, 16> members_;
  std::array<InternedString*, kRecentSlots> recent_{};
  std::size_t expectedTexts_ = 0;
  ScratchStack<Pending, kPendingBatch> pending_;
};

}  // namespace qor::detail
