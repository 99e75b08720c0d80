#include "binding/detail/builder.h"

#include <algorithm>
#include <utility>

#include "foundation/fatal.h"

namespace qor::detail {

TreeBuilder::~TreeBuilder() {
  if (!frames_.Empty()) {
    Discard();
  } else {
    ForgetRecent();
  }
}

InternedString* TreeBuilder::Remember(InternedString*& slot, std::string_view text) {
  InternedString* entry = context_->Intern(text);
  ++entry->references;  // the table's own
  if (slot != nullptr) context_->Release(slot);
  slot = entry;
  return entry;
}

void TreeBuilder::ForgetRecent() noexcept {
  for (InternedString*& entry : recent_) {
    if (entry != nullptr) context_->Release(entry);
    entry = nullptr;
  }
}

void TreeBuilder::Discard() noexcept {
  // The scratch values live in the root's context: dropping the context drops them too, and
  // with it every entry the table of recent texts still holds.
  recent_.fill(nullptr);
  BindingProperty dropped(std::move(*root_));
  frames_.Truncate(0);
  elements_.Truncate(0);
  members_.Truncate(0);
  context_ = nullptr;
}

void TreeBuilder::Open(bool structure) {
  Frame frame{};
  frame.structure = structure;
  if (frames_.Empty()) {
    frame.slotKind = SlotKind::Root;
    context_ = root_->EnsureContext();
    if (expectedTexts_ != 0) context_->Reserve(expectedTexts_);
  } else if (frames_.Back().structure) {
    frame.slotKind = SlotKind::Member;
    frame.slot = static_cast<std::uint32_t>(members_.Size() - 1);
  } else {
    PushElement();
    frame.slotKind = SlotKind::Element;
    frame.slot = static_cast<std::uint32_t>(elements_.Size() - 1);
  }
  frame.childStart = static_cast<std::uint32_t>(structure ? members_.Size() : elements_.Size());
  *frames_.Push() = frame;
}

BindingProperty& TreeBuilder::Close() {
  const Frame frame = frames_.Back();
  frames_.Truncate(frames_.Size() - 1);
  // The stacks only shrink from here on: the slot stays where it is.
  BindingProperty& target = frame.slotKind == SlotKind::Root ? *root_
                            : frame.slotKind == SlotKind::Element
                                ? ElementValue(elements_[frame.slot])
                                : MemberValue(members_[frame.slot]);
  if (frame.structure) {
    CloseStructure(target, frame.childStart);
  } else {
    CloseCollection(target, frame.childStart);
  }
  return target;
}

namespace {
void CheckCount(std::size_t count) {
  if (count > kMaxContainerSize) {
    FatalAbort("count <= max", "Binding container beyond addressable memory", __FILE__, __LINE__,
               __func__);
  }
}
}  // namespace

void TreeBuilder::CloseCollection(BindingProperty& target, std::size_t start) {
  const std::size_t count = elements_.Size() - start;
  CheckCount(count);
  CollectionPayload* list = EmptyCollectionPayload();
  if (count != 0) {
    list =
        static_cast<CollectionPayload*>(context_->Allocate(CollectionPayload::BlockBytes(count)));
    list->size = list->capacity = static_cast<std::uint32_t>(count);
    std::memcpy(static_cast<void*>(list->Data()), static_cast<const void*>(&elements_[start]),
                count * sizeof(BindingProperty));
  }
  elements_.Truncate(start);
  target.payload_.collection = list;
  target.kind_ = BindingKind::Collection;
}

void TreeBuilder::CloseStructure(BindingProperty& target, std::size_t start) {
  std::size_t count = members_.Size() - start;
  RawMember* first = count != 0 ? &members_[start] : nullptr;
  for (std::size_t i = 1; i < count; ++i) {
    if (!InOrder(first[i - 1], first[i])) {
      count = SortMembers(first, count);
      break;
    }
  }
  CheckCount(count);
  StructurePayload* map = EmptyStructurePayload();
  if (count != 0) {
    map = static_cast<StructurePayload*>(context_->Allocate(StructurePayload::BlockBytes(count)));
    map->size = map->capacity = static_cast<std::uint32_t>(count);
    std::memcpy(static_cast<void*>(map->Data()), static_cast<const void*>(first),
                count * sizeof(BindingMember));
  }
  members_.Truncate(start);
  target.payload_.structure = map;
  target.kind_ = BindingKind::Structure;
}

std::size_t TreeBuilder::SortMembers(RawMember* first, std::size_t count) {
  std::stable_sort(first, first + count,
                   [](const RawMember& a, const RawMember& b) { return KeyOf(a) < KeyOf(b); });
  // Equal texts share one interned entry; of a run of equal keys the last one read stays.
  std::size_t kept = 0;
  for (std::size_t i = 0; i < count; ++i) {
    BindingMember& member = Member(first[i]);
    if (i + 1 < count && member.key_ == Member(first[i + 1]).key_) {
      member.value_.Clear();
      context_->Release(member.key_);
      continue;
    }
    if (kept != i) first[kept] = first[i];
    ++kept;
  }
  return kept;
}

}  // namespace qor::detail
