// Request composition: the lines of a request header and their bytes on the wire.
//
// THttpCli gathers its settings into a THttpRequestHeader, builds the lines with
// BuildRequestLines, lets its owner see and change them (OnBeforeHeaderSend, OnCommand) and
// turns them into bytes with AppendRequestLine. Pure functions; thread-safe.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/text.h"

// Days since 1899-12-30, the fraction being the time of day.
using TDateTime = double;

// "Tue, 15 Nov 1994 08:12:31": weekday, day, month abbreviation, year and time of the value as
// it is (no conversion to universal time). The caller appends " GMT".
String FormatHttpDate(TDateTime value);

// Everything a request header is built from. An empty text leaves its line out.
struct THttpRequestHeader {
  String Method;   // "GET", "POST", "PUT", "HEAD", "DELETE" or "CONNECT"
  String Target;   // request target: path, or absolute URL through a proxy
  String Version;  // "1.0" or "1.1"
  String Sender;
  String Accept;
  String Reference;
  String Connection;
  String AcceptLanguage;
  String AcceptEncoding;  // the content-coding handler's text; never sent for HEAD
  String ContentType;     // sent for POST and PUT only
  String Agent;
  String TargetHost;
  String TargetPort;
  bool NoCache = false;
  String ProxyConnection;
  // POST and PUT: the body length; -1 leaves the line out (never for POST or PUT).
  std::int64_t ContentLength = -1;
  TDateTime ModifiedSince = 0;
  String Authorization;       // complete line, or empty
  String ProxyAuthorization;  // complete line, or empty
  String Cookie;
  String RangeBegin;
  String RangeEnd;
  String IfRange;  // sent only with a range
};

// The request lines, in their fixed order, without line ends.
std::vector<String> BuildRequestLines(const THttpRequestHeader& h);

// Appends one line in the system's ANSI code page followed by CR LF (also after an empty line).
void AppendRequestLine(AnsiString& out, const String& line);

// "Host: " + host, with ":" + port unless the port is "80", "443" or empty. An IPv6 literal is
// written in brackets.
String HostLine(const String& host, const String& port);

// A host as it is written in a URL or a Host line: an IPv6 literal (a host with ":") in
// brackets, anything else as it is.
String UrlHost(const String& host);

// A request target as it goes on the request line: without a fragment ("#" and what follows)
// and with every control character (below 32, and 127) and blank percent-encoded, so nothing
// taken from a URL or a Location can end the line or add one. Other text, "%" included, stays.
String EncodeRequestTarget(const String& target);

// Whether a text holds a character that must never reach a header line: a control character
// other than the tab (below 32, or 127).
bool HasControlCharacter(const String& value);

// Whether a host name or a port (as taken from a URL, a Location or the proxy settings) is fit
// for the connect and the Host line: a host without control characters and blanks, a port of
// decimal digits only. Empty texts pass (the caller supplies the defaults).
bool IsSafeHost(const String& host);
bool IsSafePort(const String& port);
