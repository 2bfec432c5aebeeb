// One-shot reference decoders of HTTP/1.1 message framing (RFC 9112, sections 6 and 7.1) for the
// fuzz targets: they see a whole answer at once, as the bytes stood when the server closed the
// connection, and say what a correct client must make of them. They are written to be checked
// by reading, not to be fast; the targets hold the project's incremental decoders against them.
//
// A verdict is one of:
// - Complete: the framing is complete and names the document's bytes exactly. A client may
//   still fail (a strict one may refuse a tolerated deviation, marked Lenient), but if it
//   reports success its document must be exactly these bytes.
// - Incomplete: the bytes end before the framing says the body (or header) ends: an answer cut
//   short. A client must fail.
// - Invalid: the framing cannot be read (a coding the client cannot undo, a Content-Length that
//   is not one decimal number, a chunk size that is not one): a client must fail.
// - Unjudged: recipients may legitimately differ (RFC 9112 leaves the choice open, or the
//   answer is outside what this reference reads); nothing is checked.
//
// Tolerated deviations (a client may accept them or fail; Lenient is set): lines ended by LF
// alone, whitespace lines after the status line, folded field lines (joined with a blank, as
// RFC 9112 section 5.2 asks of user agents; a fold after a line that is not read as a field
// goes with that line), lines without a colon, a status line without the
// blank before an empty reason, malformed chunk extensions after a ';', blanks before the end
// of a chunk size line, malformed or cut trailer fields, and empty list elements.
//
// Not judged: a Transfer-Encoding in an HTTP/1.0 answer (RFC 9112 section 6.1 has the framing
// treated as faulty without saying what becomes of the message), the identity coding and
// codings with parameters, equal Content-Length values written differently, a blank or junk in
// a framing field's name, CR or NUL in a framing field, status lines outside the grammar, and
// 101 answers.
//
// Not thread-safe state: none; every function is pure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

namespace fuzzref {

enum class TVerdict { Complete, Incomplete, Invalid, Unjudged };

inline const char* VerdictName(TVerdict v) {
  switch (v) {
    case TVerdict::Complete:
      return "complete";
    case TVerdict::Incomplete:
      return "incomplete";
    case TVerdict::Invalid:
      return "invalid";
    case TVerdict::Unjudged:
      return "unjudged";
  }
  return "?";
}

struct TDecoded {
  TVerdict Verdict = TVerdict::Complete;
  // Complete: the document. Otherwise: the document's bytes read before the end or the fault.
  std::string Document;
  // Complete only through a tolerated deviation.
  bool Lenient = false;
  // The rule that decided, for messages.
  std::string Why;
  // Answers: the final answer's status code (0 when its status line was not read).
  int Status = 0;
  // Bytes of the input that belong to the message; what follows is surplus.
  std::size_t End = 0;
};

namespace detail {

inline bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}
inline bool IsHex(char c) {
  return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
inline int HexValue(char c) {
  if (IsDigit(c)) return c - '0';
  return (c | 0x20) - 'a' + 10;
}
// Optional whitespace: SP and HTAB (RFC 9110 section 5.6.3).
inline bool IsOws(char c) {
  return c == ' ' || c == '\t';
}
// tchar (RFC 9110 section 5.6.2).
inline bool IsTchar(char c) {
  if (IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return true;
  for (char t : std::string_view("!#$%&'*+-.^_`|~"))
    if (c == t) return true;
  return false;
}
inline bool IsToken(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (!IsTchar(c)) return false;
  return true;
}
inline std::string_view TrimOws(std::string_view s) {
  while (!s.empty() && IsOws(s.front()))
    s.remove_prefix(1);
  while (!s.empty() && IsOws(s.back()))
    s.remove_suffix(1);
  return s;
}
inline std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c | 0x20);
  return out;
}
inline bool IsFramingName(std::string_view lower_name) {
  return lower_name == "transfer-encoding" || lower_name == "content-length";
}

// quoted-string (RFC 9110 section 5.6.4) starting at s[i]; advances i past it.
inline bool QuotedString(std::string_view s, std::size_t& i) {
  if (i >= s.size() || s[i] != '"') return false;
  ++i;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c == '"') {
      ++i;
      return true;
    }
    if (c == '\\') {
      if (i + 1 >= s.size()) return false;
      const auto q = static_cast<unsigned char>(s[i + 1]);
      if (!(q == '\t' || q == ' ' || (q >= 0x21 && q != 0x7F))) return false;
      i += 2;
      continue;
    }
    const bool qdtext = c == '\t' || c == ' ' || c == 0x21 || (c >= 0x23 && c <= 0x5B) ||
                        (c >= 0x5D && c <= 0x7E) || c >= 0x80;
    if (!qdtext) return false;
    ++i;
  }
  return false;
}

// chunk-ext = *( BWS ";" BWS chunk-ext-name [ BWS "=" BWS chunk-ext-val ] ) (RFC 9112 7.1.1),
// the whole of s.
inline bool IsChunkExt(std::string_view s) {
  std::size_t i = 0;
  auto skip_bws = [&] {
    while (i < s.size() && IsOws(s[i]))
      ++i;
  };
  auto token = [&] {
    const std::size_t from = i;
    while (i < s.size() && IsTchar(s[i]))
      ++i;
    return i > from;
  };
  for (;;) {
    const std::size_t before = i;
    skip_bws();
    if (i == s.size()) return i == before;
    if (s[i] != ';') return false;
    ++i;
    skip_bws();
    if (!token()) return false;
    const std::size_t after_name = i;
    skip_bws();
    if (i < s.size() && s[i] == '=') {
      ++i;
      skip_bws();
      if (!token() && !QuotedString(s, i)) return false;
    } else {
      i = after_name;
    }
  }
}

// field-line = field-name ":" OWS field-value OWS, with no CR, LF or NUL in the value.
inline bool IsFieldLine(std::string_view l) {
  const auto colon = l.find(':');
  if (colon == std::string_view::npos || !IsToken(l.substr(0, colon))) return false;
  for (char c : l.substr(colon + 1))
    if (c == '\r' || c == '\0') return false;
  return true;
}

}  // namespace detail

// A chunked body (RFC 9112 section 7.1) at the start of `in`; `in` ends where the connection
// closed. The document is complete with the last chunk: a trailer section cut by the close is
// tolerated (Lenient). End is where the chunked body ends.
inline TDecoded DecodeChunked(std::string_view in) {
  using namespace detail;
  TDecoded r;
  std::size_t at = 0;
  auto stop = [&](TVerdict v, const char* why) {
    r.Verdict = v;
    r.Why = why;
    r.End = at;
    return r;
  };
  for (;;) {
    // chunk-size = 1*HEXDIG. Leading zeros add nothing; a value past 64 bits is larger than
    // anything that can follow.
    const std::size_t size_at = at;
    std::uint64_t size = 0;
    bool huge = false;
    while (at < in.size() && IsHex(in[at])) {
      if (huge || size > (std::numeric_limits<std::uint64_t>::max() >> 4))
        huge = true;
      else
        size = size * 16 + static_cast<std::uint64_t>(HexValue(in[at]));
      ++at;
    }
    if (at == size_at) {
      if (at == in.size()) return stop(TVerdict::Incomplete, "cut before a chunk size");
      return stop(TVerdict::Invalid, "chunk size line without a hexadecimal digit");
    }
    const std::size_t lf = in.find('\n', at);
    if (lf == std::string_view::npos) return stop(TVerdict::Incomplete, "cut in a chunk size line");
    std::string_view rest = in.substr(at, lf - at);
    if (!rest.empty() && rest.back() == '\r')
      rest.remove_suffix(1);
    else
      r.Lenient = true;
    // After the digits only an extension (after a ';') or blanks may come; anything else means
    // the size itself is not what it looks like ("0x5", "5 3").
    const std::string_view after_blanks = TrimOws(rest);
    if (!after_blanks.empty() && after_blanks.front() != ';')
      return stop(TVerdict::Invalid, "chunk size followed by something other than an extension");
    if (!IsChunkExt(rest)) r.Lenient = true;
    at = lf + 1;
    if (!huge && size == 0) break;
    if (huge || size > in.size() - at) {
      r.Document.append(in.substr(at));
      at = in.size();
      return stop(TVerdict::Incomplete, "cut in chunk data");
    }
    r.Document.append(in.substr(at, static_cast<std::size_t>(size)));
    at += static_cast<std::size_t>(size);
    if (at == in.size() || (in[at] == '\r' && at + 1 == in.size()))
      return stop(TVerdict::Incomplete, "cut after chunk data");
    if (in.substr(at, 2) == "\r\n") {
      at += 2;
    } else if (in[at] == '\n') {
      r.Lenient = true;
      at += 1;
    } else {
      return stop(TVerdict::Invalid, "chunk data not followed by CRLF (more data than its size)");
    }
  }
  // trailer-section = *( field-line CRLF ), then the final CRLF.
  for (;;) {
    const std::size_t lf = in.find('\n', at);
    if (lf == std::string_view::npos) {
      r.Lenient = true;
      at = in.size();
      r.Why = "last chunk seen, trailer section cut";
      r.End = at;
      return r;
    }
    std::string_view line = in.substr(at, lf - at);
    if (!line.empty() && line.back() == '\r')
      line.remove_suffix(1);
    else
      r.Lenient = true;
    at = lf + 1;
    if (line.empty()) break;
    if (!IsFieldLine(line)) r.Lenient = true;
  }
  r.Why = "last chunk and trailer section";
  r.End = at;
  return r;
}

// A whole answer to a GET (or, with `head`, a HEAD) as the connection delivered it up to its
// close: interim 1xx answers, then the final answer's header and body (RFC 9112 section 6.3).
inline TDecoded DecodeAnswer(std::string_view in, bool head) {
  using namespace detail;
  TDecoded r;
  std::size_t at = 0;
  auto stop = [&](TVerdict v, std::string why) {
    r.Verdict = v;
    r.Why = std::move(why);
    if (v != TVerdict::Complete) r.End = at;
    return r;
  };
  for (;;) {
    struct Field {
      std::string name;
      std::string value;
    };
    std::vector<Field> fields;
    std::string unjudged;  // why the framing of this header cannot be judged
    std::string version;
    int status = 0;
    bool first = true;
    // A folded line continues the line before it; when that line was not read as a field, the
    // fold is not read either (it does not reach back past the line to the field before it).
    bool fold_continues_field = false;
    for (;;) {
      const std::size_t lf = in.find('\n', at);
      if (lf == std::string_view::npos) {
        r.Status = 0;
        return stop(TVerdict::Incomplete, "cut in the header");
      }
      std::string_view line = in.substr(at, lf - at);
      at = lf + 1;
      if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
      else
        r.Lenient = true;
      const bool bad_chars =
          line.find('\r') != std::string_view::npos || line.find('\0') != std::string_view::npos;
      if (first) {
        // status-line = HTTP-version SP 3DIGIT SP [ reason-phrase ]
        first = false;
        const bool shaped = line.size() >= 12 && line.substr(0, 5) == "HTTP/" && IsDigit(line[5]) &&
                            line[6] == '.' && IsDigit(line[7]) && line[8] == ' ' &&
                            IsDigit(line[9]) && IsDigit(line[10]) && IsDigit(line[11]) &&
                            (line.size() == 12 || line[12] == ' ');
        if (!shaped) return stop(TVerdict::Unjudged, "status line outside the grammar");
        version = std::string(line.substr(5, 3));
        if (version != "1.0" && version != "1.1")
          return stop(TVerdict::Unjudged, "HTTP version other than 1.0 and 1.1");
        if (line.size() == 12) r.Lenient = true;
        status = (line[9] - '0') * 100 + (line[10] - '0') * 10 + (line[11] - '0');
        continue;
      }
      if (line.empty()) break;
      if (IsOws(line.front())) {
        r.Lenient = true;
        // Whitespace lines right after the status line are consumed unprocessed; later ones
        // continue the field before them (obs-fold, joined with one blank).
        if (!fold_continues_field) continue;
        Field& f = fields.back();
        f.value = std::string(TrimOws(f.value + " " + std::string(TrimOws(line))));
        if (bad_chars && IsFramingName(f.name)) unjudged = "CR or NUL in a framing field";
        continue;
      }
      fold_continues_field = false;
      const std::size_t colon = line.find(':');
      if (colon == std::string_view::npos) {
        r.Lenient = true;
        continue;
      }
      const std::string name = Lower(line.substr(0, colon));
      if (!IsToken(name)) {
        r.Lenient = true;
        if (IsFramingName(Lower(TrimOws(name))))
          unjudged = "whitespace or junk in a framing field's name";
        continue;
      }
      if (bad_chars && IsFramingName(name)) unjudged = "CR or NUL in a framing field";
      fields.push_back({name, std::string(TrimOws(line.substr(colon + 1)))});
      fold_continues_field = true;
    }
    if (status >= 100 && status <= 199) {
      if (status == 101) return stop(TVerdict::Unjudged, "101 answer to a request without Upgrade");
      continue;  // interim: the final answer follows
    }
    r.Status = status;
    if (!unjudged.empty()) return stop(TVerdict::Unjudged, unjudged);
    if (head || status == 204 || status == 304) {
      r.End = at;
      r.Why = "no body (HEAD, 204 or 304)";
      return r;
    }
    const std::string_view body = in.substr(at);

    // Transfer-Encoding wins over Content-Length.
    std::vector<std::string> codings;
    bool has_te = false, empty_element = false;
    std::vector<std::string> lengths;
    bool has_cl = false;
    for (const Field& f : fields) {
      const bool te = f.name == "transfer-encoding";
      if (!te && f.name != "content-length") continue;
      (te ? has_te : has_cl) = true;
      std::size_t from = 0;
      for (;;) {
        const std::size_t comma = f.value.find(',', from);
        const std::string_view item = TrimOws(std::string_view(f.value).substr(
            from, comma == std::string::npos ? std::string::npos : comma - from));
        if (item.empty())
          empty_element = true;
        else
          (te ? codings : lengths).push_back(te ? Lower(item) : std::string(item));
        if (comma == std::string::npos) break;
        from = comma + 1;
      }
    }
    if (has_te) {
      if (version == "1.0")
        return stop(TVerdict::Unjudged, "Transfer-Encoding in an HTTP/1.0 answer");
      if (codings.empty()) return stop(TVerdict::Unjudged, "Transfer-Encoding without a coding");
      for (const std::string& c : codings)
        if (c.find(';') != std::string::npos || c == "identity")
          return stop(TVerdict::Unjudged, "transfer coding \"" + c + "\"");
      if (codings.size() != 1 || codings[0] != "chunked") {
        std::string list;
        for (const std::string& c : codings)
          list += (list.empty() ? "" : ", ") + c;
        return stop(TVerdict::Invalid, "transfer codings the client cannot undo: " + list);
      }
      if (empty_element) r.Lenient = true;
      TDecoded c = DecodeChunked(body);
      r.Document = std::move(c.Document);
      r.Lenient = r.Lenient || c.Lenient;
      r.End = at + c.End;
      at = r.End;
      return stop(c.Verdict, "chunked: " + c.Why);
    }
    if (has_cl) {
      if (lengths.empty()) return stop(TVerdict::Invalid, "empty Content-Length");
      if (empty_element) return stop(TVerdict::Unjudged, "empty element in a Content-Length list");
      std::string value;  // without leading zeros
      for (const std::string& l : lengths) {
        for (char c : l)
          if (!IsDigit(c))
            return stop(TVerdict::Invalid, "Content-Length \"" + l + "\" is not a decimal number");
        std::string v = l.substr(std::min(l.find_first_not_of('0'), l.size() - 1));
        if (!value.empty() && v != value)
          return stop(TVerdict::Invalid, "conflicting Content-Length values");
        value = v;
      }
      for (const std::string& l : lengths)
        if (l != lengths.front())
          return stop(TVerdict::Unjudged, "equal Content-Length values written differently");
      const std::uint64_t n =
          value.size() > 18 ? std::numeric_limits<std::uint64_t>::max() : std::stoull(value);
      if (n > body.size()) {
        r.Document = std::string(body);
        at = in.size();
        return stop(TVerdict::Incomplete, "body shorter than its Content-Length");
      }
      r.Document = std::string(body.substr(0, static_cast<std::size_t>(n)));
      r.End = at + static_cast<std::size_t>(n);
      r.Why = "Content-Length";
      return r;
    }
    r.Document = std::string(body);
    r.End = in.size();
    r.Why = "delimited by the close";
    return r;
  }
}

// Known answers and what the decoders must say of them; the fuzz targets run this before they
// start, so a mistake in the reference shows as itself and not as a finding. Returns a
// description of the first case that disagrees, or an empty string.
inline std::string SelfCheck() {
  using V = TVerdict;
  struct Case {
    const char* name;
    std::string_view answer;
    bool head;
    V verdict;
    bool lenient;
    std::string_view document;
  };
  static const Case kCases[] = {
      {"length", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello", false, V::Complete, false,
       "hello"},
      {"length with surplus", "HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhelloXYZ", false,
       V::Complete, false, "hello"},
      {"length cut short", "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nhello", false,
       V::Incomplete, false, "hello"},
      {"length repeated", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 5\r\n\r\nhello",
       false, V::Complete, false, "hello"},
      {"length list", "HTTP/1.1 200 OK\r\nContent-Length: 5,5\r\n\r\nhello!", false, V::Complete,
       false, "hello"},
      {"length conflict", "HTTP/1.1 200 OK\r\nContent-Length: 5, 6\r\n\r\nhello!", false,
       V::Invalid, false, ""},
      {"length sign", "HTTP/1.1 200 OK\r\nContent-Length: +5\r\n\r\nhello", false, V::Invalid,
       false, ""},
      {"length words", "HTTP/1.1 200 OK\r\nContent-Length: abc\r\n\r\nhello", false, V::Invalid,
       false, ""},
      {"length huge", "HTTP/1.1 200 OK\r\nContent-Length: 18446744073709551616\r\n\r\nhi", false,
       V::Incomplete, false, "hi"},
      {"length zeros", "HTTP/1.1 200 OK\r\nContent-Length: 000\r\n\r\nhi", false, V::Complete,
       false, ""},
      {"blank before colon", "HTTP/1.1 200 OK\r\nContent-Length : 2\r\n\r\nhi", false, V::Unjudged,
       false, ""},
      {"close-delimited", "HTTP/1.0 200 OK\r\nServer: x\r\n\r\nhello", false, V::Complete, false,
       "hello"},
      {"chunked", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n",
       false, V::Complete, false, "hello"},
      {"chunked case and tabs",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding:\t Chunked \r\n\r\n5\r\nhello\r\n0\r\n\r\n", false,
       V::Complete, false, "hello"},
      {"chunked wins over length",
       "HTTP/1.1 200 OK\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n"
       "5\r\nhello\r\n0\r\n\r\n",
       false, V::Complete, false, "hello"},
      {"gzip then chunked",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n", false,
       V::Invalid, false, ""},
      {"two fields: chunked, gzip",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nTransfer-Encoding: gzip\r\n\r\n0\r\n\r\n",
       false, V::Invalid, false, ""},
      {"extensions and trailers",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
       "1A;name=value\r\nabcdefghijklmnopqrstuvwxyz\r\n"
       "2 ; q=\"a; \\\"b\"\r\nhi\r\n0;last\r\nX-Sum: 1\r\n\r\nsurplus",
       false, V::Complete, false, "abcdefghijklmnopqrstuvwxyzhi"},
      {"data longer than its size",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhelloXY\r\n0\r\n\r\n", false,
       V::Invalid, false, "hello"},
      {"size 0x5", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n0x5\r\nhello\r\n0\r\n\r\n",
       false, V::Invalid, false, ""},
      {"size without digits",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n;a\r\nhello\r\n0\r\n\r\n", false,
       V::Invalid, false, ""},
      {"size past 32 bits",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n100000000\r\nhello\r\n0\r\n\r\n",
       false, V::Incomplete, false, "hello\r\n0\r\n\r\n"},
      {"no last chunk", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n",
       false, V::Incomplete, false, "hello"},
      {"trailer cut", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\nX-A",
       false, V::Complete, true, "hello"},
      {"bare LF", "HTTP/1.1 200 OK\nTransfer-Encoding: chunked\n\n5\nhello\n0\n\n", false,
       V::Complete, true, "hello"},
      {"folded coding",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding:\r\n chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n", false,
       V::Complete, true, "hello"},
      {"fold after a line without a colon",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nX-No-Colon\r\n gzip\r\n\r\n"
       "5\r\nhello\r\n0\r\n\r\n",
       false, V::Complete, true, "hello"},
      {"fold after a field name with a blank",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding:\r\nDate 1 00:00\r\n\t chunked\r\n\r\n5\r\nhello",
       false, V::Unjudged, false, ""},
      {"interim answer",
       "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nhi", false,
       V::Complete, false, "hi"},
      {"header cut", "HTTP/1.1 200 OK\r\nContent-Le", false, V::Incomplete, false, ""},
      {"head", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n", true, V::Complete, false, ""},
      {"not a status line", "HTTP/1.1 2000 OK\r\nContent-Length: 2\r\n\r\nhi", false, V::Unjudged,
       false, ""},
      {"chunked in an HTTP/1.0 answer",
       "HTTP/1.0 200 OK\r\nContent-Length: 0\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", false,
       V::Unjudged, false, ""},
      {"empty list elements",
       "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nTransfer-Encoding: "
       ",chunked,\r\n\r\n2\r\nhi\r\n0\r\n\r\n",
       false, V::Complete, true, "hi"},
  };
  for (const Case& c : kCases) {
    const TDecoded d = DecodeAnswer(c.answer, c.head);
    const bool doc_checked = c.verdict != TVerdict::Invalid && c.verdict != TVerdict::Unjudged;
    if (d.Verdict != c.verdict || (c.verdict == TVerdict::Complete && d.Lenient != c.lenient) ||
        (doc_checked && d.Document != c.document))
      return std::string("reference decoder self-check \"") + c.name + "\": got " +
             VerdictName(d.Verdict) + (d.Lenient ? " (lenient)" : "") + " \"" + d.Document +
             "\" because " + d.Why;
  }
  return std::string();
}

}  // namespace fuzzref
