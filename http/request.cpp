// Request composition.
#include "http/request.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "platform/calendar.h"

namespace {

bool IsPostOrPut(const String& method) {
  return method == u"POST" || method == u"PUT";
}

}  // namespace

String FormatHttpDate(TDateTime value) {
  static const char kDays[] = "MonTueWedThuFriSatSun";
  static const char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
  // Whole days count towards zero; the fraction (its magnitude, also before 1899-12-30) is the
  // time of day, rounded to the millisecond.
  const double whole = std::trunc(value);
  if (!std::isfinite(value) || std::fabs(whole) > 1e8) return String();
  const auto days = static_cast<std::int64_t>(whole);
  auto ms = static_cast<std::int64_t>(std::llround(std::fabs(value - whole) * 86400000.0));
  if (ms >= 86400000) ms = 86399999;
  // Day 2 (1900-01-01) was a Monday; the modulo is taken on the mathematical remainder, so
  // days before that still name the right weekday.
  const auto wd = static_cast<int>(((days - 2) % 7 + 7) % 7);
  int year = 0, month = 0, day = 0;
  plat::CivilFromDays(days - 25569, year, month, day);  // 1899-12-30 is day -25569 of 1970-01-01
  const auto secs = static_cast<int>(ms / 1000);
  // "Www, DD Mmm YYYY hh:mm:ss": numbers of at least two (the year four) digits.
  std::string out(kDays + 3 * wd, 3);
  out += ", ";
  text::AppendDecimal(out, day, 2);
  out += ' ';
  out.append(kMonths + 3 * (month - 1), 3);
  out += ' ';
  text::AppendDecimal(out, year, 4);
  out += ' ';
  text::AppendTimeOfDay(out, secs);
  return text::WidenBytes(out);
}

String UrlHost(const String& host) {
  if (host.find(u':') == String::npos || (!host.empty() && host[0] == u'[')) return host;
  return u"[" + host + u"]";
}

String EncodeRequestTarget(const String& target) {
  static const char kHex[] = "0123456789ABCDEF";
  const std::size_t end = std::min(target.find(u'#'), target.size());
  String out;
  out.reserve(end);
  for (std::size_t i = 0; i < end; ++i) {
    const char16_t c = target[i];
    if (c <= 32 || c == 127) {
      out += u'%';
      out += static_cast<char16_t>(kHex[c >> 4]);
      out += static_cast<char16_t>(kHex[c & 15]);
    } else {
      out += c;
    }
  }
  return out;
}

bool HasControlCharacter(const String& value) {
  for (char16_t c : value)
    if ((c < 32 && c != u'\t') || c == 127) return true;
  return false;
}

bool IsSafeHost(const String& host) {
  for (char16_t c : host)
    if (c <= 32 || c == 127) return false;
  return true;
}

bool IsSafePort(const String& port) {
  for (char16_t c : port)
    if (c < u'0' || c > u'9') return false;
  return true;
}

String HostLine(const String& host, const String& port) {
  String line = u"Host: " + UrlHost(host);
  if (!port.empty() && port != u"80" && port != u"443") line += u":" + port;
  return line;
}

std::vector<String> BuildRequestLines(const THttpRequestHeader& h) {
  std::vector<String> lines;
  const bool connect = h.Method == u"CONNECT";
  auto add = [&](const char16_t* name, const String& value) {
    if (!value.empty()) lines.push_back(name + value);
  };
  if (connect) {
    lines.push_back(h.Method + u" " + h.TargetHost + u":" + h.TargetPort + u" HTTP/" + h.Version);
  } else {
    lines.push_back(h.Method + u" " + h.Target + u" HTTP/" + h.Version);
    add(u"From: ", h.Sender);
    add(u"Accept: ", h.Accept);
    add(u"Referer: ", h.Reference);
    add(u"Connection: ", h.Connection);
    add(u"Accept-Language: ", h.AcceptLanguage);
    if (h.Method != u"HEAD") add(u"Accept-Encoding: ", h.AcceptEncoding);
    if (IsPostOrPut(h.Method)) add(u"Content-Type: ", h.ContentType);
  }
  add(u"User-Agent: ", h.Agent);
  lines.push_back(HostLine(h.TargetHost, h.TargetPort));
  if (h.NoCache) lines.push_back(u"Pragma: no-cache");
  add(u"Proxy-Connection: ", h.ProxyConnection);
  if (connect) {
    lines.push_back(u"Content-Length: 0");
  } else if (IsPostOrPut(h.Method) && h.ContentLength >= 0) {
    lines.push_back(u"Content-Length: " + text::IntToStr(h.ContentLength));
  }
  if (h.ModifiedSince != 0)
    lines.push_back(u"If-Modified-Since: " + FormatHttpDate(h.ModifiedSince) + u" GMT");
  if (!h.Authorization.empty()) lines.push_back(h.Authorization);
  if (!h.ProxyAuthorization.empty()) lines.push_back(h.ProxyAuthorization);
  add(u"Cookie: ", h.Cookie);
  if (!h.RangeBegin.empty() || !h.RangeEnd.empty())
    lines.push_back(u"Range: bytes=" + h.RangeBegin + u"-" + h.RangeEnd);
  if ((!h.RangeBegin.empty() || !h.RangeEnd.empty()) && !h.IfRange.empty())
    lines.push_back(u"If-Range: " + h.IfRange);
  return lines;
}

void AppendRequestLine(AnsiString& out, const String& line) {
  if (!line.empty()) out += text::UnicodeToAnsi(line);
  out += "\r\n";
}
