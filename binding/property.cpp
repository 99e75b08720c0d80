#include "binding/property.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

#include "binding/detail/context.h"
#include "binding/detail/text.h"
#include "foundation/fatal.h"

namespace qor {

using detail::CollectionPayload;
using detail::InternedString;
using detail::StructurePayload;

std::string_view KindName(BindingKind kind) {
  switch (kind) {
    case BindingKind::Empty:
      return "empty";
    case BindingKind::Bool:
      return "bool";
    case BindingKind::Signed:
      return "signed";
    case BindingKind::Unsigned:
      return "unsigned";
    case BindingKind::Float:
      return "float";
    case BindingKind::String:
      return "string";
    case BindingKind::Blob:
      return "blob";
    case BindingKind::Enum:
      return "enum";
    case BindingKind::Collection:
      return "collection";
    case BindingKind::Structure:
      return "structure";
  }
  return {};
}

namespace {

// Reserve() is a hint that readers may take from untrusted counts: never reserve more than
// this many slots at once (the container still grows as elements arrive).
constexpr std::size_t kMaxReserveHint = std::size_t{1} << 16;

// Moves the raw content of `from` (a live value) into `to` (raw storage) without touching the
// pools; `from` is left as raw storage that must not be destroyed.
template <typename T>
void Relocate(T* to, T* from) {
  std::memcpy(static_cast<void*>(to), static_cast<const void*>(from), sizeof(T));
}

// A Collection's first block holds this many elements (the 72-byte class).
constexpr std::size_t kFirstElements =
    (detail::kLargestPooledBlock - sizeof(CollectionPayload)) / sizeof(BindingProperty);

bool IsShared(const CollectionPayload* list) noexcept {
  return list == detail::EmptyCollectionPayload();
}
bool IsShared(const StructurePayload* map) noexcept {
  return map == detail::EmptyStructurePayload();
}

template <typename P>
void FreeArray(BindingContext* context, P* payload) noexcept {
  if (!IsShared(payload)) context->Free(payload, P::BlockBytes(payload->capacity));
}

// A block with room for `capacity` items holding the items of `payload` (moved raw), which is
// freed. REQUIRES: capacity >= payload->size.
template <typename P>
P* Resized(BindingContext* context, P* payload, std::size_t capacity) {
  auto* fresh = static_cast<P*>(context->Allocate(P::BlockBytes(capacity)));
  fresh->size = payload->size;
  fresh->capacity = static_cast<std::uint32_t>(capacity);
  if (payload->size != 0) {
    std::memcpy(static_cast<void*>(fresh->Data()), static_cast<const void*>(payload->Data()),
                payload->size * sizeof(*payload->Data()));
  }
  FreeArray(context, payload);
  return fresh;
}

}  // namespace

const BindingProperty& BindingProperty::EmptyValue() noexcept {
  static const BindingProperty kEmpty;
  return kEmpty;
}

// ---- Construction -------------------------------------------------------------------------

BindingProperty::BindingProperty(bool value) noexcept {
  SetBool(value);
}
BindingProperty::BindingProperty(const char* text) {
  SetString(text == nullptr ? std::string_view() : std::string_view(text));
}
BindingProperty::BindingProperty(std::string_view text) {
  SetString(text);
}
BindingProperty::BindingProperty(const std::string& text) {
  SetString(text);
}
BindingProperty::BindingProperty(std::span<const std::uint8_t> bytes) {
  SetBlob(bytes);
}
BindingProperty::BindingProperty(const Bytes& bytes) {
  SetBlob(std::span(bytes));
}
BindingProperty::BindingProperty(Bytes&& bytes) {
  SetBlob(std::move(bytes));
}
BindingProperty::BindingProperty(EnumValue value) {
  SetEnum(value);
}

BindingProperty::BindingProperty(const BindingProperty& other) {
  CopyPayloadFrom(other);
}

BindingProperty::BindingProperty(BindingProperty&& other) noexcept {
  if (other.root_ != 0) {
    payload_ = other.payload_;
    context_ = other.context_;
    kind_ = other.kind_;
    other.payload_.unsignedValue = 0;
    other.context_ = nullptr;
    other.kind_ = BindingKind::Empty;
  } else {
    CopyPayloadFrom(other);
    other.Clear();
  }
}

BindingProperty::~BindingProperty() {
  if (root_ == 0) {
    Clear();
  } else {
    // The context gives back every block of the tree without visiting its values.
    delete context_;
  }
}

BindingProperty& BindingProperty::operator=(const BindingProperty& other) {
  if (this == &other) return *this;
  if (context_ != nullptr && context_ == other.context_) {
    // Same tree: one may contain the other. Copy out first, then rebuild.
    BindingProperty copy(other);
    Clear();
    CopyPayloadFrom(copy);
    return *this;
  }
  Clear();
  CopyPayloadFrom(other);
  return *this;
}

BindingProperty& BindingProperty::operator=(BindingProperty&& other) noexcept {
  if (this == &other) return *this;
  if (root_ != 0 && other.root_ != 0) {
    Exchange(other);
    other.Clear();
    return *this;
  }
  if (context_ != nullptr && context_ == other.context_) {
    BindingProperty copy(other);
    // Clearing a source that contains this value would destroy it: then the source stays.
    if (!IsInside(other)) other.Clear();
    Clear();
    CopyPayloadFrom(copy);
    return *this;
  }
  Clear();
  CopyPayloadFrom(other);
  other.Clear();
  return *this;
}

void BindingProperty::Exchange(BindingProperty& other) noexcept {
  std::swap(payload_, other.payload_);
  std::swap(context_, other.context_);
  std::swap(kind_, other.kind_);
}

bool BindingProperty::IsInside(const BindingProperty& other) const noexcept {
  if (this == &other) return true;
  for (const BindingProperty& element : other.Elements()) {
    if (IsInside(element)) return true;
  }
  for (const BindingMember& member : other.Members()) {
    if (IsInside(member.Value())) return true;
  }
  return false;
}

BindingContext* BindingProperty::EnsureContext() {
  if (context_ == nullptr) context_ = new BindingContext();
  return context_;
}

BindingProperty& BindingProperty::operator=(const char* text) {
  SetString(text == nullptr ? std::string_view() : std::string_view(text));
  return *this;
}
BindingProperty& BindingProperty::operator=(std::string_view text) {
  SetString(text);
  return *this;
}
BindingProperty& BindingProperty::operator=(const std::string& text) {
  SetString(text);
  return *this;
}
BindingProperty& BindingProperty::operator=(std::span<const std::uint8_t> bytes) {
  SetBlob(bytes);
  return *this;
}
BindingProperty& BindingProperty::operator=(const Bytes& bytes) {
  SetBlob(std::span(bytes));
  return *this;
}
BindingProperty& BindingProperty::operator=(Bytes&& bytes) {
  SetBlob(std::move(bytes));
  return *this;
}
BindingProperty& BindingProperty::operator=(EnumValue value) {
  SetEnum(value);
  return *this;
}

// ---- Setters ------------------------------------------------------------------------------

void BindingProperty::SetBool(bool value) noexcept {
  Clear();
  payload_.boolean = value;
  kind_ = BindingKind::Bool;
}

void BindingProperty::SetSigned(std::int64_t value) noexcept {
  Clear();
  payload_.signedValue = value;
  kind_ = BindingKind::Signed;
}

void BindingProperty::SetUnsigned(std::uint64_t value) noexcept {
  Clear();
  payload_.unsignedValue = value;
  kind_ = BindingKind::Unsigned;
}

void BindingProperty::SetFloat(double value) noexcept {
  Clear();
  payload_.floatValue = value;
  kind_ = BindingKind::Float;
}

void BindingProperty::SetString(std::string_view text) {
  // Intern before releasing the old text: `text` may view this value's own string.
  InternedString* entry = EnsureContext()->Intern(text);
  Clear();
  payload_.string = entry;
  kind_ = BindingKind::String;
}

void BindingProperty::SetBlob(std::span<const std::uint8_t> bytes) {
  // Copied before the old payload goes: `bytes` may view this value's own blob.
  BindingContext* context = EnsureContext();
  void* block = context->Allocate(detail::BlobPayload::BlockBytes(bytes.size()));
  auto* blob = new (block) detail::BlobPayload{bytes.size()};
  if (!bytes.empty()) std::memcpy(blob->Bytes(), bytes.data(), bytes.size());
  Clear();
  payload_.blob = blob;
  kind_ = BindingKind::Blob;
}

void BindingProperty::SetBlob(Bytes&& bytes) {
  SetBlob(std::span<const std::uint8_t>(bytes));
}

void BindingProperty::SetEnum(EnumValue value) {
  Clear();
  BindingContext* context = EnsureContext();
  void* block = context->Allocate(sizeof(EnumValue));
  payload_.enumValue = new (block) EnumValue(value);
  kind_ = BindingKind::Enum;
}

void BindingProperty::SetCollection(std::size_t reserve) {
  Clear();
  EnsureContext();
  payload_.collection = detail::EmptyCollectionPayload();
  kind_ = BindingKind::Collection;
  if (reserve != 0) Reserve(reserve);
}

void BindingProperty::SetStructure(std::size_t reserve) {
  Clear();
  EnsureContext();
  payload_.structure = detail::EmptyStructurePayload();
  kind_ = BindingKind::Structure;
  if (reserve == 0) return;
  reserve = std::min(reserve, kMaxReserveHint);
  payload_.structure = Resized(context_, payload_.structure, reserve);
}

void BindingProperty::Clear() noexcept {
  switch (kind_) {
    case BindingKind::String:
      context_->Release(payload_.string);
      break;
    case BindingKind::Blob:
      context_->Free(payload_.blob, detail::BlobPayload::BlockBytes(payload_.blob->size));
      break;
    case BindingKind::Enum:
      context_->Free(payload_.enumValue, sizeof(EnumValue));
      break;
    case BindingKind::Collection: {
      CollectionPayload* list = payload_.collection;
      BindingProperty* elements = list->Data();
      for (std::size_t i = 0; i < list->size; ++i)
        elements[i].~BindingProperty();
      FreeArray(context_, list);
      break;
    }
    case BindingKind::Structure: {
      StructurePayload* map = payload_.structure;
      BindingMember* members = map->Data();
      for (std::size_t i = 0; i < map->size; ++i) {
        BindingMember& member = members[i];
        member.value_.Clear();
        context_->Release(member.key_);
        member.~BindingMember();
      }
      FreeArray(context_, map);
      break;
    }
    default:
      break;
  }
  payload_.unsignedValue = 0;
  kind_ = BindingKind::Empty;
}

// ---- Deep copy ----------------------------------------------------------------------------

void BindingProperty::CopyPayloadFrom(const BindingProperty& source) {
  switch (source.kind_) {
    case BindingKind::Empty:
      break;
    case BindingKind::Bool:
    case BindingKind::Signed:
    case BindingKind::Unsigned:
    case BindingKind::Float:
      payload_ = source.payload_;
      kind_ = source.kind_;
      break;
    case BindingKind::String:
      SetString(source.payload_.string->Text());
      break;
    case BindingKind::Blob:
      SetBlob(source.GetBlob());
      break;
    case BindingKind::Enum:
      SetEnum(*source.payload_.enumValue);
      break;
    case BindingKind::Collection: {
      const CollectionPayload& list = *source.payload_.collection;
      SetCollection(list.size);
      for (std::size_t i = 0; i < list.size; ++i)
        Append().CopyPayloadFrom(list.Data()[i]);
      break;
    }
    case BindingKind::Structure: {
      const StructurePayload& map = *source.payload_.structure;
      SetStructure(map.size);
      // Source keys are sorted, so every insertion takes the append path.
      for (std::size_t i = 0; i < map.size; ++i) {
        MutableMember(map.Data()[i].Key()).CopyPayloadFrom(map.Data()[i].value_);
      }
      break;
    }
  }
}

// ---- Queries ------------------------------------------------------------------------------

std::size_t BindingProperty::Size() const noexcept {
  switch (kind_) {
    case BindingKind::Empty:
      return 0;
    case BindingKind::String:
      return payload_.string->length;
    case BindingKind::Blob:
      return payload_.blob->size;
    case BindingKind::Collection:
      return payload_.collection->size;
    case BindingKind::Structure:
      return payload_.structure->size;
    default:
      return 1;
  }
}

bool BindingProperty::GetBool(bool fallback) const noexcept {
  return kind_ == BindingKind::Bool ? payload_.boolean : fallback;
}
std::int64_t BindingProperty::GetSigned(std::int64_t fallback) const noexcept {
  return kind_ == BindingKind::Signed ? payload_.signedValue : fallback;
}
std::uint64_t BindingProperty::GetUnsigned(std::uint64_t fallback) const noexcept {
  return kind_ == BindingKind::Unsigned ? payload_.unsignedValue : fallback;
}
double BindingProperty::GetFloat(double fallback) const noexcept {
  return kind_ == BindingKind::Float ? payload_.floatValue : fallback;
}
std::span<const std::uint8_t> BindingProperty::GetBlob(
    std::span<const std::uint8_t> fallback) const noexcept {
  return kind_ == BindingKind::Blob
             ? std::span<const std::uint8_t>(payload_.blob->Bytes(), payload_.blob->size)
             : fallback;
}
EnumValue BindingProperty::GetEnum(EnumValue fallback) const noexcept {
  return kind_ == BindingKind::Enum ? *payload_.enumValue : fallback;
}

bool BindingProperty::ToBool() const noexcept {
  switch (kind_) {
    case BindingKind::Bool:
      return payload_.boolean;
    case BindingKind::Signed:
    case BindingKind::Unsigned:
      return payload_.unsignedValue != 0;
    case BindingKind::Float:
      return payload_.floatValue != 0.0;  // NaN != 0.0 holds
    case BindingKind::String: {
      std::string_view text = payload_.string->Text();
      return text == "true" || text == "1";
    }
    case BindingKind::Blob:
      return payload_.blob->size != 0;
    case BindingKind::Enum:
      return payload_.enumValue->value != 0;
    case BindingKind::Collection:
      return payload_.collection->size != 0;
    case BindingKind::Structure:
      return payload_.structure->size != 0;
    default:
      return false;
  }
}

std::string BindingProperty::ToText() const {
  switch (kind_) {
    case BindingKind::Bool:
      return payload_.boolean ? "true" : "false";
    case BindingKind::Signed:
      return std::to_string(payload_.signedValue);
    case BindingKind::Unsigned:
      return std::to_string(payload_.unsignedValue);
    case BindingKind::Float:
      return detail::FormatFixed(payload_.floatValue);
    case BindingKind::String:
      return std::string(payload_.string->Text());
    case BindingKind::Blob:
      return detail::EncodeBase64(GetBlob());
    case BindingKind::Enum:
      return std::to_string(payload_.enumValue->value);
    default:
      return {};
  }
}

std::int64_t BindingProperty::ToSigned(std::int64_t fallback) const noexcept {
  switch (kind_) {
    case BindingKind::Bool:
      return payload_.boolean ? 1 : 0;
    case BindingKind::Signed:
    case BindingKind::Unsigned:
      return payload_.signedValue;
    case BindingKind::Float: {
      double value = payload_.floatValue;
      if (std::isnan(value)) return fallback;
      if (value <= -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
      if (value >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
      return static_cast<std::int64_t>(value);
    }
    case BindingKind::String: {
      detail::ParsedInteger parsed = detail::ParseInteger(payload_.string->Text());
      if (parsed.overflow) {
        return parsed.negative ? std::numeric_limits<std::int64_t>::min()
                               : std::numeric_limits<std::int64_t>::max();
      }
      return detail::SignedOf(parsed).value_or(parsed.negative
                                                   ? std::numeric_limits<std::int64_t>::min()
                                                   : std::numeric_limits<std::int64_t>::max());
    }
    case BindingKind::Enum:
      return payload_.enumValue->value;
    default:
      return fallback;
  }
}

// ---- Collections --------------------------------------------------------------------------

BindingProperty& BindingProperty::MutableElement(std::size_t index) {
  if (kind_ != BindingKind::Collection) SetCollection();
  CollectionPayload* list = payload_.collection;
  if (index >= list->size) {
    if (index >= detail::kMaxContainerSize) {
      FatalAbort("index < max", "Binding collection index beyond addressable memory", __FILE__,
                 __LINE__, __func__);
    }
    if (index >= list->capacity) {
      const std::size_t doubled =
          list->capacity == 0 ? kFirstElements : std::size_t{list->capacity} * 2;
      list = payload_.collection = Resized(
          context_, list, std::min(std::max(index + 1, doubled), detail::kMaxContainerSize));
    }
    BindingProperty* elements = list->Data();
    for (std::size_t i = list->size; i <= index; ++i) {
      new (elements + i) BindingProperty(ChildTag{}, context_);
    }
    list->size = static_cast<std::uint32_t>(index + 1);
  }
  return list->Data()[index];
}

BindingProperty& BindingProperty::Append() {
  if (kind_ != BindingKind::Collection) SetCollection();
  return MutableElement(payload_.collection->size);
}

void BindingProperty::Reserve(std::size_t count) {
  if (kind_ == BindingKind::Empty) SetCollection();
  if (kind_ != BindingKind::Collection) return;
  CollectionPayload* list = payload_.collection;
  count = std::min(count, list->size + kMaxReserveHint);
  count = std::min(count, detail::kMaxContainerSize);
  // Exact size on purpose: the caller knows the count.
  if (count > list->capacity) payload_.collection = Resized(context_, list, count);
}

// ---- Structures ---------------------------------------------------------------------------

namespace {

// Byte-wise (unsigned) order; a prefix sorts first.
inline int CompareKeys(std::string_view a, std::string_view b) noexcept {
  return a.compare(b);
}

// First position whose key is not less than `key`.
std::size_t LowerBound(const StructurePayload& map, std::string_view key) noexcept {
  const BindingMember* members = map.Data();
  std::size_t low = 0;
  std::size_t high = map.size;
  while (low < high) {
    std::size_t mid = low + (high - low) / 2;
    if (CompareKeys(members[mid].Key(), key) < 0) {
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  return low;
}

}  // namespace

BindingProperty& BindingProperty::MutableMember(std::string_view key) {
  if (kind_ != BindingKind::Structure) {
    if (kind_ != BindingKind::Empty) {
      // The key may view a text of this value, which the conversion releases.
      std::string saved(key);
      SetStructure();
      return MutableMember(saved);
    }
    SetStructure();
  }
  StructurePayload* map = payload_.structure;
  std::size_t position = map->size;
  if (map->size != 0) {
    BindingMember* members = map->Data();
    int order = CompareKeys(members[map->size - 1].Key(), key);
    if (order == 0) return members[map->size - 1].value_;
    if (order > 0) {
      position = LowerBound(*map, key);
      if (members[position].Key() == key) return members[position].value_;
    }
  }
  InternedString* interned = context_->Intern(key);
  if (map->size == map->capacity) {
    if (map->size >= detail::kMaxContainerSize) {
      FatalAbort("size < max", "Binding structure beyond addressable memory", __FILE__, __LINE__,
                 __func__);
    }
    const std::size_t doubled = map->capacity == 0 ? 2 : std::size_t{map->capacity} * 2;
    map = payload_.structure = Resized(context_, map, std::min(doubled, detail::kMaxContainerSize));
  }
  // Shift the tail up by one slot (raw moves), then build the new member in the gap.
  BindingMember* members = map->Data();
  for (std::size_t i = map->size; i > position; --i)
    Relocate(members + i, members + i - 1);
  new (members + position) BindingMember(interned, context_);
  ++map->size;
  return members[position].value_;
}

const BindingProperty* BindingProperty::FindMember(std::string_view key) const noexcept {
  if (kind_ != BindingKind::Structure) return nullptr;
  const StructurePayload& map = *payload_.structure;
  std::size_t position = LowerBound(map, key);
  if (position < map.size && map.Data()[position].Key() == key) {
    return &map.Data()[position].value_;
  }
  return nullptr;
}

BindingProperty* BindingProperty::FindMutableMember(std::string_view key) noexcept {
  return const_cast<BindingProperty*>(std::as_const(*this).FindMember(key));
}

const BindingProperty& BindingProperty::Member(std::string_view key) const noexcept {
  const BindingProperty* member = FindMember(key);
  return member != nullptr ? *member : EmptyValue();
}

bool BindingProperty::RemoveMember(std::string_view key) noexcept {
  if (kind_ != BindingKind::Structure) return false;
  StructurePayload& map = *payload_.structure;
  std::size_t position = LowerBound(map, key);
  BindingMember* members = map.Data();
  if (position >= map.size || members[position].Key() != key) return false;
  BindingMember& member = members[position];
  member.value_.Clear();
  context_->Release(member.key_);
  member.~BindingMember();
  for (std::size_t i = position; i + 1 < map.size; ++i)
    Relocate(members + i, members + i + 1);
  --map.size;
  return true;
}

// ---- Equality -----------------------------------------------------------------------------

bool operator==(const BindingProperty& a, const BindingProperty& b) noexcept {
  if (a.kind_ != b.kind_) return false;
  switch (a.kind_) {
    case BindingKind::Empty:
      return true;
    case BindingKind::Bool:
      return a.payload_.boolean == b.payload_.boolean;
    case BindingKind::Signed:
    case BindingKind::Unsigned:
      return a.payload_.unsignedValue == b.payload_.unsignedValue;
    case BindingKind::Float:
      return a.payload_.floatValue == b.payload_.floatValue;
    case BindingKind::String:
      return a.payload_.string->Text() == b.payload_.string->Text();
    case BindingKind::Blob: {
      auto left = a.GetBlob();
      auto right = b.GetBlob();
      return std::equal(left.begin(), left.end(), right.begin(), right.end());
    }
    case BindingKind::Enum:
      return *a.payload_.enumValue == *b.payload_.enumValue;
    case BindingKind::Collection: {
      auto left = a.Elements();
      auto right = b.Elements();
      return std::equal(left.begin(), left.end(), right.begin(), right.end());
    }
    case BindingKind::Structure: {
      auto left = a.Members();
      auto right = b.Members();
      return std::equal(left.begin(), left.end(), right.begin(), right.end(),
                        [](const BindingMember& x, const BindingMember& y) {
                          return x.Key() == y.Key() && x.Value() == y.Value();
                        });
    }
  }
  return false;
}

}  // namespace qor
