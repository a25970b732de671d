#include "hbconnector/return_status.hpp"

#include <cstdio>
#include <cstring>

#include "hbconnector/string_message.hpp"
#include "collections/decimal.hpp"

namespace {

char* copyText(const char* text) {
  if (text == nullptr) return nullptr;
  const std::size_t n = std::strlen(text);
  char* copy = new char[n + 1];
  std::memcpy(copy, text, n + 1);
  return copy;
}

}  // namespace

ReturnStatusDescriptor::ReturnStatusDescriptor() = default;

ReturnStatusDescriptor::ReturnStatusDescriptor(const char* message) : message_(copyText(message)) {}

ReturnStatusDescriptor::ReturnStatusDescriptor(int status, const char* message)
    : message_(copyText(message)), status_(status) {}

ReturnStatusDescriptor::ReturnStatusDescriptor(StringMessage& message) {
  if (message.nextToken() == nullptr) return;  // the tag, not checked
  const char* status = message.nextToken();
  if (status == nullptr) return;
  status_ = hbconnector::detail::decimalToInt(status);
  const char* text = message.nextToken();
  if (text != nullptr && std::strcmp(text, "null") != 0) message_ = copyText(text);
}

ReturnStatusDescriptor::ReturnStatusDescriptor(const ReturnStatusDescriptor& other)
    : message_(copyText(other.message_)), status_(other.status_) {}

ReturnStatusDescriptor& ReturnStatusDescriptor::operator=(const ReturnStatusDescriptor& other) {
  if (this != &other) {
    setErrorString(other.message_);
    status_ = other.status_;
  }
  return *this;
}

ReturnStatusDescriptor::~ReturnStatusDescriptor() { delete[] message_; }

void ReturnStatusDescriptor::setErrorString(const char* text) {
  // Copy first: text may be the current message.
  char* copy = copyText(text);
  delete[] message_;
  message_ = copy;
}

StringMessage* ReturnStatusDescriptor::toStringMessage() const {
  auto* message = new StringMessage();
  message->setDelimiter(STATUS_DELIMITER);
  message->append(RETURN_STATUS_TAG);
  char status[16];
  std::snprintf(status, sizeof status, "%d", status_);
  message->append(status);
  message->append(message_);  // no message is written "null"
  return message;
}
