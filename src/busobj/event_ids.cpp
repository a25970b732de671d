// ObjectEventId values: the identifiers that mark an application event and
// every child object in it, given before the event goes to the agent.
//
// A root object's identifier is "<connector name>_<seconds>_<index>_<address>";
// a child's is "<parent's identifier>_<index>_<seconds>_<address>", where the
// index is the child's position in its parent's array (0 for a single child),
// the seconds count from 1970-01-01 00:00 UTC and the address is the object's
// own, in lowercase hexadecimal with all its digits. Objects that already
// hold an identifier keep it.
//
// Length. Identifiers never exceed kMaxObjectEventIdLength (259) characters,
// the room agents and stored events have always had for them. When the
// connector name or the parent's identifier is too long, that leading part is
// cut (at a character boundary) and the generated tail is always kept whole:
// the tail (seconds and address) is what makes an identifier unique, so a
// cut identifier still names exactly one object, while a refused one would
// leave the child without any.
//
// Every call works in its own buffers, so threads giving identifiers to
// different trees at the same time do not disturb each other.
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <string_view>

#include "hbconnector/business_object.hpp"
#include "hbconnector/connector.hpp"

namespace hbconnector::detail {
namespace {

// The longest identifier made here (an identifier area of 260 bytes less its
// terminating zero).
constexpr std::size_t kMaxObjectEventIdLength = 259;

constexpr char kEventIdAttr[] = "ObjectEventId";
// The connector name is read with this size (254 characters at most).
constexpr int kConnectorNameSize = 255;

// The text held in bo's identifier slot; null when the slot is unset or the
// type has no simple attribute of that name. Reports nothing.
const char* storedEventId(const BusinessObject& bo) {
  const BusObjSpec* spec = bo.getSpec();
  if (spec == nullptr || bo.getAttrValues() == nullptr) return nullptr;
  const int index = spec->getAttributeIndex(kEventIdAttr);
  if (index < 0 || spec->getAttribute(index)->isObjectType()) return nullptr;
  return static_cast<const char*>(bo.getAttrValues()[index]);
}

// head followed by tail, at most kMaxObjectEventIdLength characters: tail is
// kept whole and head is cut as needed, never inside a UTF-8 sequence.
std::string joinBounded(std::string_view head, std::string_view tail) {
  const std::size_t room =
      tail.size() < kMaxObjectEventIdLength ? kMaxObjectEventIdLength - tail.size() : 0;
  if (head.size() > room) {
    std::size_t cut = room;
    while (cut > 0 && (static_cast<unsigned char>(head[cut]) & 0xC0) == 0x80) --cut;
    head = head.substr(0, cut);
  }
  std::string id;
  id.reserve(head.size() + tail.size());
  id.append(head);
  id.append(tail);
  return id;
}

std::string newEventId(const BusinessObject& bo, int index) {
  const long seconds = static_cast<long>(std::time(nullptr));
  const auto address = reinterpret_cast<std::uintptr_t>(&bo);
  char tail[96];
  const BusinessObject* parent = bo.getParent();
  const char* parentId = parent != nullptr ? storedEventId(*parent) : nullptr;
  if (parentId != nullptr) {
    std::snprintf(tail, sizeof tail, "_%d_%ld_%" PRIxPTR, index, seconds, address);
    return joinBounded(parentId, tail);
  }
  char connectorName[kConnectorNameSize + 1] = {};
  ConnectorBase::getConfigProp("ConnectorName", connectorName, kConnectorNameSize);
  std::snprintf(tail, sizeof tail, "_%ld_%d_%" PRIxPTR, seconds, index, address);
  return joinBounded(connectorName, tail);
}

}  // namespace
}  // namespace hbconnector::detail

void BusinessObject::setObjectEventId(int index) {
  if (spec_ == nullptr || values_ == nullptr) return;
  // Reported (message 73) when the type has no such attribute; the value
  // then counts as not set.
  const void* current = getAttrValue(hbconnector::detail::kEventIdAttr);
  const int type = getAttrType(hbconnector::detail::kEventIdAttr);
  // A child-object attribute of that name holds no text and is left alone.
  if (type != OBJECT && (current == IGNORE_VALUE || isBlankValue(current))) {
    const std::string id = hbconnector::detail::newEventId(*this, index);
    // Refused (message 72) when the type has no such attribute.
    setAttrValue(hbconnector::detail::kEventIdAttr, const_cast<char*>(id.c_str()), type);
  }
  // Children after their parent, so each finds its parent's identifier.
  const int count = getAttrCount();
  for (int i = 0; i < count; ++i) {
    const AttrSpec* attr = spec_->getAttribute(i);
    void* value = values_[i];
    if (!attr->isObjectType() || value == nullptr || value == BLANK_VALUE) continue;
    if (attr->isMultipleCard()) {
      const auto* array = static_cast<BusObjArray*>(value);
      for (int k = 0; k < array->getObjectCount(); ++k) {
        if (BusinessObject* element = array->getObject(k)) element->setObjectEventId(k);
      }
    } else {
      static_cast<BusinessObject*>(value)->setObjectEventId(0);
    }
  }
}

void BusinessObject::setObjectEventId() { setObjectEventId(0); }
