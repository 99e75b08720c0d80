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

void TreeBuilder::Remember(std::size_t slot, InternedString* entry) {
  ++entry->references;  // the table's own
  context_->Release(recent_[slot]);
  recent_[slot] = entry;
}

void TreeBuilder::ForgetRecent() noexcept {
  for (InternedString*& entry : recent_) {
    if (entry != nullptr) context_->Release(entry);
    entry = nullptr;
  }
}

void TreeBuilder::HashPending(Pending* items, std::size_t count) noexcept {
  std::size_t next = 0;
  for (; next + 4 <= count; next += 4) {
    // The four in order of length (five compare-exchanges), so that the chains run side by side
    // to the shortest end, then three of them to the next, and so on.
    Pending* lane[4] = {&items[next], &items[next + 1], &items[next + 2], &items[next + 3]};
    const auto order = [&lane](int a, int b) {
      if (lane[b]->length < lane[a]->length) std::swap(lane[a], lane[b]);
    };
    order(0, 1), order(2, 3), order(0, 2), order(1, 3), order(1, 2);
    Pending& a = *lane[0];
    Pending& b = *lane[1];
    Pending& c = *lane[2];
    Pending& d = *lane[3];
    std::uint32_t ha = kFnv1a32Basis, hb = kFnv1a32Basis, hc = kFnv1a32Basis, hd = kFnv1a32Basis;
    std::size_t i = 0;
    for (; i < a.length; ++i) {
      ha = Fnv1a32Step(ha, a.text[i]);
      hb = Fnv1a32Step(hb, b.text[i]);
      hc = Fnv1a32Step(hc, c.text[i]);
      hd = Fnv1a32Step(hd, d.text[i]);
    }
    for (; i < b.length; ++i) {
      hb = Fnv1a32Step(hb, b.text[i]);
      hc = Fnv1a32Step(hc, c.text[i]);
      hd = Fnv1a32Step(hd, d.text[i]);
    }
    for (; i < c.length; ++i) {
      hc = Fnv1a32Step(hc, c.text[i]);
      hd = Fnv1a32Step(hd, d.text[i]);
    }
    a.hash = ha;
    b.hash = hb;
    c.hash = hc;
    d.hash = Fnv1a32(std::string_view(d.text + i, d.length - i), hd);
  }
  for (; next < count; ++next)
    items[next].hash = Fnv1a32(std::string_view(items[next].text, items[next].length));
}

void TreeBuilder::InternPending() {
  const std::size_t count = pending_.Size();
  if (count == 0) return;
  Pending* const items = &pending_[0];
  HashPending(items, count);
  for (std::size_t i = 0; i < count; ++i)
    context_->PrefetchBucket(items[i].hash);
  for (std::size_t i = 0; i < count; ++i) {
    const Pending& item = items[i];
    InternedString* entry = context_->Intern(std::string_view(item.text, item.length), item.hash);
    BindingProperty& value = item.value != nullptr ? *item.value
                             : item.member         ? MemberValue(members_[item.index])
                                                   : ElementValue(elements_[item.index]);
    value.payload_.string = entry;
    if (item.recent < kRecentSlots) Remember(item.recent, entry);
  }
  pending_.Truncate(0);
  // Whatever waits from now on was noted after every open container opened.
  for (std::size_t i = 0; i < frames_.Size(); ++i)
    frames_[i].pendingStart = 0;
}

void TreeBuilder::PlacePending(std::uint32_t pendingStart, std::size_t childStart,
                               BindingProperty* elements, BindingMember* members) noexcept {
  // The waiting values noted since the container opened are its own, unless a deeper
  // container has placed them already.
  for (std::size_t i = pendingStart; i < pending_.Size(); ++i) {
    Pending& item = pending_[i];
    if (item.value != nullptr) continue;
    item.value = members != nullptr ? &members[item.index - childStart].value_
                                    : &elements[item.index - childStart];
  }
}

void TreeBuilder::Discard() noexcept {
  // The scratch values live in the root's context: dropping the context drops them too, and
  // with it every entry the table of recent texts still holds.
  recent_.fill(nullptr);
  pending_.Truncate(0);
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
  frame.pendingStart = static_cast<std::uint32_t>(pending_.Size());
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
    CloseStructure(target, frame);
  } else {
    CloseCollection(target, frame);
  }
  if (frames_.Empty()) InternPending();
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

void TreeBuilder::CloseCollection(BindingProperty& target, const Frame& frame) {
  const std::size_t start = frame.childStart;
  const std::size_t count = elements_.Size() - start;
  CheckCount(count);
  CollectionPayload* list = EmptyCollectionPayload();
  if (count != 0) {
    list =
        static_cast<CollectionPayload*>(context_->Allocate(CollectionPayload::BlockBytes(count)));
    list->size = list->capacity = static_cast<std::uint32_t>(count);
    std::memcpy(static_cast<void*>(list->Data()), static_cast<const void*>(&elements_[start]),
                count * sizeof(BindingProperty));
    PlacePending(frame.pendingStart, start, list->Data(), nullptr);
  }
  elements_.Truncate(start);
  target.payload_.collection = list;
  target.kind_ = BindingKind::Collection;
}

void TreeBuilder::CloseStructure(BindingProperty& target, const Frame& frame) {
  const std::size_t start = frame.childStart;
  std::size_t count = members_.Size() - start;
  RawMember* first = count != 0 ? &members_[start] : nullptr;
  for (std::size_t i = 1; i < count; ++i) {
    if (!InOrder(first[i - 1], first[i])) {
      InternPending();  // the members are about to move, and some to go
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
    PlacePending(frame.pendingStart, start, nullptr, map->Data());
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
