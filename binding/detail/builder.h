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
// Used by the JSON, MessagePack and YAML readers; one builder per read, one thread.
#pragma once

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
  ~TreeBuilder();
  TreeBuilder(const TreeBuilder&) = delete;
  TreeBuilder& operator=(const TreeBuilder&) = delete;

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
    InternedString* interned = context_->Intern(key);
    new (members_.Push()->bytes) BindingMember(interned, context_);
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
    std::uint32_t childStart;  // first value of the container on its stack
    std::uint32_t slot;        // the container's own slot on its parent's stack
    SlotKind slotKind;
    bool structure;
  };

  static BindingProperty& ElementValue(RawElement& raw) noexcept {
    return *std::launder(reinterpret_cast<BindingProperty*>(raw.bytes));
  }
  static BindingMember& Member(RawMember& raw) noexcept {
    return *std::launder(reinterpret_cast<BindingMember*>(raw.bytes));
  }
  static BindingProperty& MemberValue(RawMember& raw) noexcept { return Member(raw).value_; }
  static std::string_view KeyOf(const RawMember& raw) noexcept {
    return std::launder(reinterpret_cast<const BindingMember*>(raw.bytes))->Key();
  }

  BindingProperty& PushElement() {
    return *new (elements_.Push()->bytes) BindingProperty(BindingProperty::ChildTag{}, context_);
  }
  void Open(bool structure);
  void CloseCollection(BindingProperty& target, std::size_t start);
  void CloseStructure(BindingProperty& target, std::size_t start);
  // Sorts the members by key and drops all but the last of each repeated key; the new count.
  std::size_t SortMembers(RawMember* first, std::size_t count);

  BindingProperty* root_;
  BindingContext* context_ = nullptr;  // the root's, from the first container on
  ScratchStack<Frame, 32> frames_;
  ScratchStack<RawElement, 16> elements_;
  ScratchStack<RawMember, 16> members_;
};

}  // namespace qor::detail
