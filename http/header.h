// Reading a response header: the status line and header fields. Pure functions; thread-safe.
//
// Lines arrive as UTF-16 text in which every received byte became the character of the same
// code, without their line end.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

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

// A Content-Length value: one non-negative decimal number (digits only, blanks and tabs
// around it), or a comma-separated list of such numbers that are all the same. -1 for anything
// else: no number, a sign, another character, a number too large for 63 bits, or a list whose
// numbers differ.
std::int64_t ParseContentLength(const String& value);

// The elements of a comma-separated field value, without the blanks and tabs around them,
// empty elements left out; the case is kept.
std::vector<String> HeaderListItems(const String& value);

// The transfer codings of a Transfer-Encoding value (or of several such fields joined with
// ","): the comma-separated names, lower-cased (A to Z only), without blanks, tabs and
// parameters, empty elements left out. "identity", which changes nothing, is left out too.
std::vector<String> TransferCodings(const String& value);

// Leading and trailing blanks and tabs (the optional white space around a field value) removed.
String TrimBlanks(const String& value);

// A Content-Range value, "bytes first-last/size": the first and last byte positions.
void ParseContentRange(const String& value, String& RangeBegin, String& RangeEnd);
