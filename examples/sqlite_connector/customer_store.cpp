#include "customer_store.hpp"

#include <cstring>
#include <memory>
#include <optional>
#include <set>
#include <string_view>

#include "hbconnector/hbconnector.hpp"

namespace sample {
namespace {

// Attribute name to column, for the simple attributes of each type.
struct Column {
  const char* attribute;
  const char* column;
};
constexpr Column kCustomerColumns[] = {
    {"Name", "name"}, {"Email", "email"}, {"Phone", "phone"}, {"Status", "status"}};
constexpr Column kAddressColumns[] = {
    {"Street", "street"}, {"City", "city"}, {"PostalCode", "postal_code"}, {"Country", "country"}};

constexpr char kSchema[] = R"sql(
PRAGMA foreign_keys = ON;
CREATE TABLE IF NOT EXISTS customer (
  customer_id TEXT PRIMARY KEY,
  name        TEXT NOT NULL,
  email       TEXT,
  phone       TEXT,
  status      TEXT NOT NULL DEFAULT 'active'
);
CREATE TABLE IF NOT EXISTS address (
  customer_id TEXT NOT NULL REFERENCES customer(customer_id) ON DELETE CASCADE,
  address_id  TEXT NOT NULL,
  street      TEXT,
  city        TEXT,
  postal_code TEXT,
  country     TEXT,
  PRIMARY KEY (customer_id, address_id)
);
-- The event table: one row per change of a customer, written by the
-- triggers below whoever changes the tables. status: new, sending (published,
-- not yet confirmed), done, unsubscribed (nobody wanted it), vanished (the
-- customer was deleted before the event could be built).
CREATE TABLE IF NOT EXISTS hb_event (
  event_id    INTEGER PRIMARY KEY AUTOINCREMENT,
  object_name TEXT NOT NULL,
  object_key  TEXT NOT NULL,
  verb        TEXT NOT NULL,
  status      TEXT NOT NULL DEFAULT 'new',
  created     TEXT NOT NULL DEFAULT (strftime('%Y-%m-%d %H:%M:%f', 'now'))
);
CREATE INDEX IF NOT EXISTS hb_event_pending ON hb_event(status, event_id);
-- A new event is written unless one for the same customer is still waiting
-- to be read (it will be built from the customer as it is then). Creations
-- and deletions always get their own event.
CREATE TRIGGER IF NOT EXISTS customer_created AFTER INSERT ON customer BEGIN
  INSERT INTO hb_event(object_name, object_key, verb) VALUES ('Customer', NEW.customer_id, 'Create');
END;
CREATE TRIGGER IF NOT EXISTS customer_updated AFTER UPDATE ON customer
WHEN NOT EXISTS (SELECT 1 FROM hb_event WHERE object_name = 'Customer' AND object_key = NEW.customer_id
                 AND status = 'new') BEGIN
  INSERT INTO hb_event(object_name, object_key, verb) VALUES ('Customer', NEW.customer_id, 'Update');
END;
CREATE TRIGGER IF NOT EXISTS customer_deleted AFTER DELETE ON customer BEGIN
  INSERT INTO hb_event(object_name, object_key, verb) VALUES ('Customer', OLD.customer_id, 'Delete');
END;
CREATE TRIGGER IF NOT EXISTS address_inserted AFTER INSERT ON address
WHEN EXISTS (SELECT 1 FROM customer WHERE customer_id = NEW.customer_id)
 AND NOT EXISTS (SELECT 1 FROM hb_event WHERE object_name = 'Customer' AND object_key = NEW.customer_id
                 AND status = 'new') BEGIN
  INSERT INTO hb_event(object_name, object_key, verb) VALUES ('Customer', NEW.customer_id, 'Update');
END;
CREATE TRIGGER IF NOT EXISTS address_updated AFTER UPDATE ON address
WHEN NOT EXISTS (SELECT 1 FROM hb_event WHERE object_name = 'Customer' AND object_key = NEW.customer_id
                 AND status = 'new') BEGIN
  INSERT INTO hb_event(object_name, object_key, verb) VALUES ('Customer', NEW.customer_id, 'Update');
END;
CREATE TRIGGER IF NOT EXISTS address_deleted AFTER DELETE ON address
WHEN EXISTS (SELECT 1 FROM customer WHERE customer_id = OLD.customer_id)
 AND NOT EXISTS (SELECT 1 FROM hb_event WHERE object_name = 'Customer' AND object_key = OLD.customer_id
                 AND status = 'new') BEGIN
  INSERT INTO hb_event(object_name, object_key, verb) VALUES ('Customer', OLD.customer_id, 'Update');
END;
)sql";

enum class Presence { kUnset, kBlank, kValue };

// A simple attribute's value: unset (leave alone), blank (NULL) or a text.
// An attribute the type does not have counts as unset.
Presence valueOf(const BusinessObject& bo, std::string_view attribute, std::string* text) {
  const std::optional<std::string_view> value = bo.getAttrText(attribute);
  if (!value) return Presence::kUnset;
  if (value->empty()) return Presence::kBlank;
  text->assign(*value);
  return Presence::kValue;
}

Text columnValue(const BusinessObject& bo, std::string_view attribute) {
  std::string text;
  return valueOf(bo, attribute, &text) == Presence::kValue ? Text(text) : std::nullopt;
}

// Stores a column into the object: NULL becomes blank.
void setText(BusinessObject& bo, std::string_view attribute, const Text& value) {
  if (bo.attrIndex(attribute) < 0) return;
  if (!bo.setAttrText(attribute, value.value_or(std::string()))) {
    throw DbError("the value of " + std::string(attribute) + " cannot be stored");
  }
}

// The children of the Addresses attribute (null entries skipped); present
// tells whether the object carries the list at all.
std::vector<BusinessObject*> addressesOf(const BusinessObject& bo, bool* present) {
  std::vector<BusinessObject*> result;
  const BusObjArray* array = bo.getChildArray("Addresses");
  *present = array != nullptr;
  if (array == nullptr) return result;
  for (BusinessObject* child : array->objects()) {
    if (child != nullptr) result.push_back(child);
  }
  return result;
}

std::string keyOf(const BusinessObject& bo, std::string_view attribute) {
  std::string text;
  return valueOf(bo, attribute, &text) == Presence::kValue ? text : std::string();
}

}  // namespace

void CustomerStore::createSchema() { db_.exec(kSchema); }

std::string CustomerStore::nextCustomerId() {
  Statement s(
      db_,
      "SELECT COALESCE(MAX(CAST(substr(customer_id, 2) AS INTEGER)), 1000) + 1 FROM customer "
      "WHERE customer_id GLOB 'C[0-9]*'");
  s.step();
  return "C" + std::to_string(s.integer(0));
}

std::string CustomerStore::nextAddressId(const std::string& customerId) {
  Statement s(
      db_,
      "SELECT COALESCE(MAX(CAST(address_id AS INTEGER)), 0) + 1 FROM address WHERE customer_id = ? "
      "AND address_id GLOB '[0-9]*'");
  s.bind(1, customerId).step();
  return std::to_string(s.integer(0));
}

bool CustomerStore::load(const std::string& customerId, BusinessObject& bo) {
  Statement customer(db_, "SELECT name, email, phone, status FROM customer WHERE customer_id = ?");
  customer.bind(1, customerId);
  if (!customer.step()) return false;
  setText(bo, "CustomerId", customerId);
  for (int i = 0; i < 4; ++i) setText(bo, kCustomerColumns[i].attribute, customer.text(i));
  if (bo.attrIndex("Addresses") < 0) return true;
  bo.unsetAttr("Addresses");  // drops the children the object had
  Statement rows(
      db_,
      "SELECT address_id, street, city, postal_code, country FROM address WHERE customer_id = ? "
      "ORDER BY rowid");
  rows.bind(1, customerId);
  while (rows.step()) {
    std::unique_ptr<BusinessObject> child = bo.newChild("Addresses");
    if (child == nullptr) throw DbError("the Address type is not registered");
    setText(*child, "AddressId", rows.text(0));
    for (int i = 0; i < 4; ++i) setText(*child, kAddressColumns[i].attribute, rows.text(i + 1));
    if (!bo.addChild("Addresses", std::move(child))) {
      throw DbError("an address cannot be added to the customer");
    }
  }
  return true;
}

Outcome CustomerStore::create(BusinessObject& bo) {
  Transaction tx(db_);
  std::string id = keyOf(bo, "CustomerId");
  if (id.empty()) id = nextCustomerId();
  {
    Statement exists(db_, "SELECT 1 FROM customer WHERE customer_id = ?");
    if (exists.bind(1, id).step()) return {kNotFound, "customer " + id + " already exists"};
  }
  Text name = columnValue(bo, "Name");
  if (!name) return {-1, "a customer needs a Name"};
  Statement insert(db_,
                   "INSERT INTO customer(customer_id, name, email, phone, status) "
                   "VALUES (?, ?, ?, ?, COALESCE(?, 'active'))");
  insert.bind(1, id)
      .bind(2, name)
      .bind(3, columnValue(bo, "Email"))
      .bind(4, columnValue(bo, "Phone"));
  insert.bind(5, columnValue(bo, "Status")).run();
  std::string note;
  writeAddresses(bo, id, false, &note);
  tx.commit();
  load(id, bo);
  return {1, "created customer " + id + note};
}

Outcome CustomerStore::retrieve(BusinessObject& bo) {
  const std::string id = keyOf(bo, "CustomerId");
  if (id.empty()) return {-1, "Retrieve needs the key CustomerId"};
  if (!load(id, bo)) return {kNotFound, "no customer " + id};
  return {1, "retrieved customer " + id};
}

Outcome CustomerStore::update(BusinessObject& bo) {
  const std::string id = keyOf(bo, "CustomerId");
  if (id.empty()) return {-1, "Update needs the key CustomerId"};
  Transaction tx(db_);
  {
    Statement exists(db_, "SELECT 1 FROM customer WHERE customer_id = ?");
    if (!exists.bind(1, id).step()) return {kNotFound, "no customer " + id};
  }
  for (const Column& c : kCustomerColumns) {
    std::string text;
    const Presence presence = valueOf(bo, c.attribute, &text);
    if (presence == Presence::kUnset) continue;
    if (presence == Presence::kBlank &&
        (std::strcmp(c.column, "name") == 0 || std::strcmp(c.column, "status") == 0)) {
      return {-1, std::string(c.attribute) + " cannot be blank"};
    }
    const std::string sql =
        std::string("UPDATE customer SET ") + c.column + " = ? WHERE customer_id = ?";
    Statement set(db_, sql.c_str());
    set.bind(1, presence == Presence::kValue ? Text(text) : std::nullopt).bind(2, id).run();
  }
  std::string note;
  writeAddresses(bo, id, bo.isDelta(), &note);
  tx.commit();
  load(id, bo);
  return {
      1, std::string(bo.isDelta() ? "applied the delta to" : "updated") + " customer " + id + note};
}

Outcome CustomerStore::remove(BusinessObject& bo) {
  const std::string id = keyOf(bo, "CustomerId");
  if (id.empty()) return {-1, "Delete needs the key CustomerId"};
  Transaction tx(db_);
  Statement del(db_, "DELETE FROM customer WHERE customer_id = ?");
  del.bind(1, id).run();
  if (db_.changes() == 0) return {kNotFound, "no customer " + id};
  tx.commit();
  return {1, "deleted customer " + id};
}

// Writes the Addresses children. An after-image's list is the complete new
// set: missing addresses are deleted. A delta's children say with their verb
// what to do (Create, Update, Delete; no verb: create or update). No list at
// all leaves the addresses alone.
void CustomerStore::writeAddresses(BusinessObject& bo, const std::string& customerId, bool delta,
                                   std::string* note) {
  bool present = false;
  std::vector<BusinessObject*> children = addressesOf(bo, &present);
  if (!present) return;
  int created = 0, updated = 0, deleted = 0;
  std::set<std::string> kept;
  for (BusinessObject* child : children) {
    std::string addressId = keyOf(*child, "AddressId");
    // A delta's children say with their verb what to do; an after-image's
    // children are its complete list.
    const auto says = [&](Verb verb) { return delta && child->hasVerb(verb); };
    bool exists = false;
    if (!addressId.empty()) {
      Statement s(db_, "SELECT 1 FROM address WHERE customer_id = ? AND address_id = ?");
      exists = s.bind(1, customerId).bind(2, addressId).step();
    }
    if (says(Verb::Delete)) {
      if (!exists)
        throw Refusal(kNotFound,
                      "customer " + customerId + " has no address " + addressId + " to delete");
      Statement del(db_, "DELETE FROM address WHERE customer_id = ? AND address_id = ?");
      del.bind(1, customerId).bind(2, addressId).run();
      ++deleted;
      continue;
    }
    if (says(Verb::Create) && exists) {
      throw Refusal(kNotFound, "customer " + customerId + " already has an address " + addressId);
    }
    if (says(Verb::Update) && !exists) {
      throw Refusal(kNotFound,
                    "customer " + customerId + " has no address " + addressId + " to update");
    }
    if (!exists) {
      if (addressId.empty()) addressId = nextAddressId(customerId);
      Statement insert(
          db_,
          "INSERT INTO address(customer_id, address_id, street, city, postal_code, country) "
          "VALUES (?, ?, ?, ?, ?, ?)");
      insert.bind(1, customerId).bind(2, addressId);
      for (int i = 0; i < 4; ++i)
        insert.bind(3 + i, columnValue(*child, kAddressColumns[i].attribute));
      insert.run();
      ++created;
    } else {
      for (const Column& c : kAddressColumns) {
        std::string text;
        const Presence presence = valueOf(*child, c.attribute, &text);
        if (presence == Presence::kUnset) continue;
        const std::string sql = std::string("UPDATE address SET ") + c.column +
                                " = ? WHERE customer_id = ? AND address_id = ?";
        Statement set(db_, sql.c_str());
        set.bind(1, presence == Presence::kValue ? Text(text) : std::nullopt).bind(2, customerId);
        set.bind(3, addressId).run();
      }
      ++updated;
    }
    kept.insert(addressId);
  }
  if (!delta) {
    Statement all(db_, "SELECT address_id FROM address WHERE customer_id = ?");
    all.bind(1, customerId);
    std::vector<std::string> stale;
    while (all.step()) {
      if (Text id = all.text(0); id && kept.count(*id) == 0) stale.push_back(*id);
    }
    for (const std::string& id : stale) {
      Statement del(db_, "DELETE FROM address WHERE customer_id = ? AND address_id = ?");
      del.bind(1, customerId).bind(2, id).run();
      ++deleted;
    }
  }
  if (created + updated + deleted > 0) {
    *note = " (addresses: " + std::to_string(created) + " created, " + std::to_string(updated) +
            " updated, " + std::to_string(deleted) + " deleted)";
  }
}

std::vector<PendingEvent> CustomerStore::pendingEvents(int limit) {
  Statement s(db_,
              "SELECT event_id, object_name, object_key, verb, status FROM hb_event "
              "WHERE status IN ('new', 'sending') ORDER BY event_id LIMIT ?");
  s.bind(1, static_cast<long long>(limit));
  std::vector<PendingEvent> events;
  while (s.step()) {
    events.push_back({s.integer(0), s.text(1).value_or(""), s.text(2).value_or(""),
                      s.text(3).value_or(""), s.text(4).value_or("") == "sending"});
  }
  return events;
}

void CustomerStore::markSending(long long eventId) { markEvent(eventId, "sending"); }

void CustomerStore::markEvent(long long eventId, const char* status) {
  Statement s(db_, "UPDATE hb_event SET status = ? WHERE event_id = ?");
  s.bind(1, Text(status)).bind(2, eventId).run();
}

}  // namespace sample
