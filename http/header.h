// Reading a response header: the status line and header fields. Pure functions; thread-safe.
//
// Lines arrive as UTF-16 text in which every received byte became the character of the same
// code, without their line end.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/text.h"

struct THttpStatusLine {
  String ResponseVer;  // the three characters after "HTTP/"
  String CodeText;     // the three characters read as the status code
  bool CodeValid = false;
  std::int32_t StatusCode = 0;
  String ReasonPhrase;  // from 4 characters after the start of the code
};

// Reads a status line. Nothing when the line does not begin with "HTTP/1.0" or "HTTP/1.1".
// CodeValid is false when the code's characters are not a number; StatusCode is then 0.
std::optional<THttpStatusLine> ParseStatusLine(const String& line);

// Whether the connection is to be closed after an answer of version ResponseVer to a request of
// version RequestVer, before any Connection field is seen.
bool CloseRequiredFor(const String& RequestVer, const String& ResponseVer);

struct THttpHeaderField {
  String Name;   // text before the first ":", lower-cased (A to Z only), not trimmed
  String Value;  // text after the ":" without the blanks that follow it
};

// Splits a header line at its first ":". Nothing for a line without ":".
std::optional<THttpHeaderField> ParseHeaderField(const String& line);

// A Content-Length value: the trimmed value as a non-negative decimal number, -1 when it is
// not one (also when negative or too large).
std::int64_t ParseContentLength(const String& value);

// A Content-Range value, "bytes first-last/size": the first and last byte positions.
void ParseContentRange(const String& value, String& RangeBegin, String& RangeEnd);
