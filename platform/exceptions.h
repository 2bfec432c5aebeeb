// The exception classes of the network components. Every one carries a message text.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

// Base of every exception the components raise. The message is UTF-8 for display.
class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  const std::string& Message() const { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

// The silent abort: background-exception handling drops it without any event.
class EAbort : public Exception {
 public:
  explicit EAbort(std::string message = "Operation aborted") : Exception(std::move(message)) {}
};

// An internal consistency check that failed ("Message IDs out of bounds!", ...).
class EAssertionFailed : public Exception {
 public:
  using Exception::Exception;
};

// A failed operation of an input/output stream (a full disk while writing a download).
class EStreamError : public Exception {
 public:
  using Exception::Exception;
};

class ENetException : public Exception {
 public:
  using Exception::Exception;
};

class ENetTimerException : public Exception {
 public:
  using Exception::Exception;
};

class ESocketAPIException : public Exception {
 public:
  using Exception::Exception;
};
