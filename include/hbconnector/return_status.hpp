// The result record of a verb request or of a synchronous request to a
// collaboration: a status code and an owned message text.
//
// Status codes are chosen by the connector and the agent; the library gives
// meaning only to 1 and -5 (the business object goes back to the agent) and to
// -1 (the library's own checks failed).
//
// Status record (delimited encoding, delimiter code 4):
//   "ReturnStatusDescriptor" <status "%d"> <message, or "null" when none>
// An empty message is written "null" and therefore reads back as no message.
#ifndef HBCONNECTOR_RETURN_STATUS_HPP_
#define HBCONNECTOR_RETURN_STATUS_HPP_

#include "hbconnector/export.hpp"

class StringMessage;

inline constexpr char RETURN_STATUS_TAG[] = "ReturnStatusDescriptor";

class HB_EXPORT ReturnStatusDescriptor {
 public:
  // Status 0, no message.
  ReturnStatusDescriptor();
  // Status 0 and a copy of message (null gives no message).
  explicit ReturnStatusDescriptor(const char* message);
  ReturnStatusDescriptor(int status, const char* message);
  // Reads a status record: the tag (not checked), the status (decimal; no
  // digits give 0) and the message ("null" gives no message). Missing tokens
  // leave status 0 and no message. The message must split at code 4.
  explicit ReturnStatusDescriptor(StringMessage& message);
  ReturnStatusDescriptor(const ReturnStatusDescriptor& other);
  ReturnStatusDescriptor& operator=(const ReturnStatusDescriptor& other);
  ~ReturnStatusDescriptor();

  // The message, or null; the descriptor keeps ownership.
  char* getErrorString() const { return message_; }
  // Stores a copy of text; null removes the message.
  void setErrorString(const char* text);
  int getStatus() const { return status_; }
  void setStatus(int status) { status_ = status; }

  // A new message (delimiter code 4) holding the status record; the caller
  // deletes it.
  StringMessage* toStringMessage() const;

 private:
  char* message_ = nullptr;
  int status_ = 0;
};

#endif  // HBCONNECTOR_RETURN_STATUS_HPP_
