// The HTTP client against answers whose right outcome is known.
//
// The fuzzer's bytes drive a small server script: up to three relocations and a final answer,
// each with a document and a framing (Content-Length, chunked with extensions and trailers, or
// delimited by the close), then mutations of those answers, then how the server cuts them into
// reads. The client talks to a socket without a network (tests/http/fake_socket.h); the server
// answers each request the client sends, on the connection it came on, with the next answer of
// the script, closes when the answer says so or when it has nothing left, and drops what it had
// queued for a connection the client closed.
//
// The one-shot reference decoder (reference_framing.h) says what a correct client must make of
// the answer to the client's last request. The client may fail; the rules are:
// - success-needs-an-answer, success-needs-status-200, success-on-cut-answer,
//   success-on-invalid-framing, success-with-wrong-document: a success (OnRequestDone with
//   ErrCode 0 and StatusCode 200) stores exactly the document of a complete, readable answer;
// - rcvd-count-is-document-size: after a success RcvdCount is the stored document's size;
// - well-formed-answer-succeeds: a script whose answers are all well formed (only variations a
//   correct client must take: framing choices, Transfer-Encoding spelled in any case with
//   blanks, repeated equal Content-Length values, Content-Length beside chunked, surplus bytes
//   after a complete body, an interim 100 answer, extra fields, relocations) ends in success
//   with the final answer's document, however it is cut into reads;
// - request-waits-for-complete-answer: the client sends a request on a connection only after
//   the answer there is complete by its framing (bytes past that end are surplus; when they
//   arrive after the next request went out, the reference reads them as the start of its
//   answer, since no client can tell them apart);
// - request-ends-once: once the server has closed, the request has ended exactly once;
// - stored-before-reported, stream-holds-only-reported-bytes: OnDocData reports only blocks
//   already in RcvdStream, and RcvdStream never holds more than was reported.
// A broken rule prints the rule, the script, what the server did, the reference's verdict and
// the client's outcome, and aborts.
//
// Input layout (every value is read as it is needed; missing bytes read as 0, which gives the
// plainest choice):
//   settings byte: bit 0 RequestVer 1.1; bit 1 HEAD; bits 2-3 relocations before the final
//     answer; bit 4 an interim 100 answer before the final one; bit 5 raw mode (the answer is
//     the next bytes as they are, length in two bytes);
//   reads byte: bit 0 deliver reads before pending messages; bits 1-2 cut mode (0 sizes from
//     the input, 1 one byte per read, 2 the whole answer in one read);
//   mutation count, then per mutation a record of 6 bytes: its kind, its answer and its
//     parameters;
//   per answer: its shape, its document, its chunking;
//   the rest: the size of each read (0 or missing: the rest of the answer).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/oracle.h"
#include "fuzz/reference_framing.h"
#include "tests/http/fake_socket.h"

namespace {

using fuzzref::Escape;

// ---------------------------------------------------------------------------------------------
// Reading the fuzzer's bytes

class TInput {
 public:
  TInput(const std::uint8_t* data, std::size_t size) : FData(data), FSize(size) {}
  std::uint8_t Byte() { return FAt < FSize ? FData[FAt++] : 0; }
  // A value below limit (two bytes).
  std::size_t Below(std::size_t limit) {
    std::size_t v = Byte();
    v = v << 8 | Byte();
    return limit == 0 ? 0 : v % limit;
  }
  // len bytes of text; past the end of the input a fixed pattern fills in.
  std::string Text(std::size_t len) {
    std::string s;
    for (std::size_t i = 0; i < len; ++i)
      s += FAt < FSize ? static_cast<char>(FData[FAt++]) : static_cast<char>('a' + i % 26);
    return s;
  }
  // Up to len bytes of the input as they are.
  std::string Raw(std::size_t len) {
    const std::size_t n = std::min(len, FSize - FAt);
    std::string s(reinterpret_cast<const char*>(FData + FAt), n);
    FAt += n;
    return s;
  }

 private:
  const std::uint8_t* FData;
  std::size_t FSize;
  std::size_t FAt = 0;
};

std::string Hex(std::uint64_t v, bool upper) {
  char buf[24];
  std::snprintf(buf, sizeof buf, upper ? "%llX" : "%llx", static_cast<unsigned long long>(v));
  return buf;
}

// ---------------------------------------------------------------------------------------------
// The script: answers as plans, then as bytes

enum class TFraming { Length, Chunked, Close };

struct TChunk {
  std::string size, ext, line_end = "\r\n", data, data_end = "\r\n";
};

struct TAnswer {
  bool relocation = false;
  std::string interim;  // interim answers before the status line
  std::string status;
  std::vector<std::string> fields;
  std::uint32_t bare_lf = 0;  // header lines (status line = bit 0) ended by LF alone; bit 31: all
  TFraming framing = TFraming::Length;
  std::string doc;
  std::vector<TChunk> chunks;
  std::string last_chunk = "0", last_ext, trailers;
  bool last_dropped = false;
  std::string surplus;
  bool close_after = false;
  // Its header lets the client keep the connection for the next request.
  bool kept_open = false;
  // Only variations a correct client must take: the answer must succeed.
  bool well_formed = true;
  std::string notes;
  std::string bytes;  // the serialised answer, after the byte-level mutations
};

const char* FramingName(TFraming f) {
  switch (f) {
    case TFraming::Length:
      return "Content-Length";
    case TFraming::Chunked:
      return "chunked";
    case TFraming::Close:
      return "close-delimited";
  }
  return "?";
}

std::string Serialise(const TAnswer& a, bool head) {
  std::string out = a.interim;
  std::vector<std::string> lines{a.status};
  lines.insert(lines.end(), a.fields.begin(), a.fields.end());
  lines.push_back("");
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const bool lf = (a.bare_lf >> 31) != 0 || (i < 31 && ((a.bare_lf >> i) & 1) != 0);
    out += lines[i] + (lf ? "\n" : "\r\n");
  }
  if (!head) {
    if (a.framing != TFraming::Chunked) {
      out += a.doc;
    } else {
      for (const TChunk& c : a.chunks)
        out += c.size + c.ext + c.line_end + c.data + c.data_end;
      if (!a.last_dropped) out += a.last_chunk + a.last_ext + "\r\n" + a.trailers + "\r\n";
    }
  }
  return out + a.surplus;
}

// Index of the first field whose name (before the colon) equals name, ignoring case.
int FindField(const TAnswer& a, std::string_view name) {
  for (std::size_t i = 0; i < a.fields.size(); ++i) {
    const std::string& f = a.fields[i];
    if (f.size() > name.size() && f[name.size()] == ':' &&
        fuzzref::detail::Lower(f.substr(0, name.size())) == name)
      return static_cast<int>(i);
  }
  return -1;
}

void SetField(TAnswer& a, std::string_view name, const std::string& line) {
  const int i = FindField(a, name);
  if (i >= 0)
    a.fields[static_cast<std::size_t>(i)] = line;
  else
    a.fields.push_back(line);
}

TAnswer MakeAnswer(TInput& in, bool relocation, int index, bool request11) {
  TAnswer a;
  a.relocation = relocation;
  const std::uint8_t shape = in.Byte();
  a.framing = static_cast<TFraming>((shape & 3) % 3);
  const bool v11 = (shape & 4) != 0 || a.framing == TFraming::Chunked;
  const std::string version = v11 ? "HTTP/1.1 " : "HTTP/1.0 ";
  a.close_after = (shape & 32) != 0 || a.framing == TFraming::Close;
  std::size_t len;
  if (relocation) {
    static const char* const kStatus[] = {"301 Moved Permanently", "302 Found", "303 See Other",
                                          "307 Temporary Redirect"};
    static const char* const kLocation[] = {
        "/next%d.exe", "next%d.exe", "http://fuzz.invalid/next%d.exe",
        "http://other.invalid:8080/dir/next%d.exe", "//fuzz.invalid/next%d.exe"};
    a.status = version + kStatus[in.Byte() % 4];
    char location[64];
    std::snprintf(location, sizeof location, kLocation[in.Byte() % 5], index);
    a.fields.push_back(std::string("Location: ") + location);
    len = in.Byte() % 64;
  } else {
    a.status = version + "200 OK";
    len = in.Byte();
    len |= static_cast<std::size_t>(in.Byte() & 3) << 8;
  }
  if (shape & 64) a.fields.insert(a.fields.begin(), "Server: fuzz/1.0");
  a.doc = in.Text(len);
  switch (a.framing) {
    case TFraming::Length:
      a.fields.push_back("Content-Length: " + std::to_string(a.doc.size()));
      break;
    case TFraming::Chunked: {
      a.fields.push_back("Transfer-Encoding: chunked");
      const std::uint8_t style = in.Byte();
      static const char* const kExt[] = {"", ";a=b", ";name=\"quoted; value\"", " ; x = y"};
      static const char* const kTrailers[] = {"", "X-Checksum: 5d41\r\n",
                                              "Expires: 0\r\nX-Note: a, b\r\n", "X-Empty:\r\n"};
      const std::string ext = kExt[(style >> 2) & 3];
      for (std::size_t at = 0; at < a.doc.size();) {
        const std::uint8_t s = in.Byte();
        const std::size_t n =
            s == 0 ? a.doc.size() - at : std::min<std::size_t>(1 + s % 96, a.doc.size() - at);
        TChunk c;
        c.size = ((style & 2) ? "00" : "") + Hex(n, (style & 1) != 0);
        c.ext = ext;
        c.data = a.doc.substr(at, n);
        a.chunks.push_back(c);
        at += n;
      }
      a.last_chunk = (style & 64) ? "000" : "0";
      a.last_ext = ext;
      a.trailers = kTrailers[(style >> 4) & 3];
      break;
    }
    case TFraming::Close:
      break;
  }
  static const char* const kConnection[] = {"", "Connection: close", "Connection: keep-alive", ""};
  const std::string connection = kConnection[(shape >> 3) & 3];
  if (!connection.empty()) a.fields.push_back(connection);
  a.kept_open = connection == "Connection: keep-alive" ||
                (request11 && v11 && connection != "Connection: close");
  a.notes = FramingName(a.framing);
  if (a.close_after) a.notes += ", server closes after it";
  return a;
}

// ---------------------------------------------------------------------------------------------
// Mutations

enum TMutation {
  mTeSpelling,        // well formed
  mLengthRepeated,    // well formed
  mLengthAndChunked,  // well formed
  mExtraField,        // well formed
  mSurplus,           // well formed after a framed body (not for HEAD)
  mCodingList,
  mLengthValue,
  mSecondFramingField,
  mDropFramingField,
  mFoldedFramingField,
  mBlankBeforeColon,
  mBareLf,
  mStatusLine,
  mChunkSize,
  mChunkLineEnds,
  mNoLastChunk,
  mInterimAnswer,
  mTruncate,
  mOverwrite,
  mInsert,
  mDelete,
  kMutationKinds
};

// Byte-level mutations wait until the answer is serialised.
struct TByteMutation {
  TMutation kind;
  std::size_t answer;
  std::size_t pos;
  std::string text;
  std::size_t count;
};

const char kSmuggled[] = "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nEVIL";

// A pattern with the document's length in it: '@' the length, '^' one more, '~' one less.
std::string Substitute(std::string_view pattern, std::size_t n) {
  std::string out;
  for (char c : pattern) {
    if (c == '@')
      out += std::to_string(n);
    else if (c == '^')
      out += std::to_string(n + 1);
    else if (c == '~')
      out += std::to_string(n == 0 ? 0 : n - 1);
    else
      out += c;
  }
  return out;
}

void Mutate(TInput& in, std::vector<TAnswer>& answers, bool head,
            std::vector<TByteMutation>& later) {
  const auto kind = static_cast<TMutation>(in.Byte() % kMutationKinds);
  const std::uint8_t t = in.Byte();
  const std::size_t index = (t & 0x80) ? (t & 0x7F) % answers.size() : answers.size() - 1;
  TAnswer& a = answers[index];
  const std::size_t n = a.doc.size();
  auto note = [&](const std::string& what, bool well_formed) {
    a.notes += "; " + what;
    if (!well_formed) a.well_formed = false;
  };
  switch (kind) {
    case mTeSpelling: {
      static const char* const kLines[] = {
          "Transfer-Encoding: Chunked",       "transfer-encoding: chunked",
          "TRANSFER-ENCODING: CHUNKED",       "Transfer-Encoding:\tchunked",
          "Transfer-Encoding: \t chunked \t", "Transfer-Encoding:chunked"};
      const char* line = kLines[in.Byte() % 6];
      if (a.framing != TFraming::Chunked || FindField(a, "transfer-encoding") < 0) break;
      SetField(a, "transfer-encoding", line);
      note(std::string("spelt \"") + Escape(line) + "\"", true);
      break;
    }
    case mLengthRepeated: {
      static const char* const kForms[] = {"Content-Length: @", "Content-Length: @, @",
                                           "Content-Length: @,@", "Content-Length: @ ,\t@"};
      const std::uint8_t form = in.Byte() % 4;
      if (a.framing != TFraming::Length || FindField(a, "content-length") < 0) break;
      const std::string line = Substitute(kForms[form], n);
      if (form == 0)
        a.fields.push_back(line);
      else
        SetField(a, "content-length", line);
      note("Content-Length repeated: \"" + Escape(line) + "\"", true);
      break;
    }
    case mLengthAndChunked: {
      static const char* const kValues[] = {"@", "0", "^", "1"};
      const std::string line =
          Substitute(std::string("Content-Length: ") + kValues[in.Byte() % 4], n);
      const bool before = (in.Byte() & 1) != 0;
      if (a.framing != TFraming::Chunked) break;
      const int te = FindField(a, "transfer-encoding");
      if (te < 0) break;
      a.fields.insert(a.fields.begin() + te + (before ? 0 : 1), line);
      note("with \"" + line + "\" beside chunked", true);
      break;
    }
    case mExtraField: {
      static const std::string kFields[] = {"Server: fuzz/1.0",
                                            "X-Pad: " + std::string(300, 'x'),
                                            "Content-Type: text/html",
                                            "Set-Cookie: a=b; Path=/",
                                            "Accept-Ranges: bytes",
                                            "Content-Encoding: x-fuzz",
                                            "Date: Thu, 01 Jan 1970 00:00:00 GMT",
                                            "Cache-Control: no-cache, no-store"};
      const std::string& field = kFields[in.Byte() % 8];
      const std::size_t at = in.Byte() % (a.fields.size() + 1);
      a.fields.insert(a.fields.begin() + static_cast<std::ptrdiff_t>(at), field);
      note("extra field \"" + field.substr(0, 40) + "\"", true);
      break;
    }
    case mSurplus: {
      static const char* const kSurplus[] = {"XYZ", "\r\n", kSmuggled, "0\r\n\r\n", nullptr};
      const std::uint8_t which = in.Byte() % 5;
      const std::string text = kSurplus[which] ? kSurplus[which] : in.Text(1 + in.Byte() % 32);
      if (a.framing == TFraming::Close) {
        // After a body delimited by the close, more bytes are more document.
        a.doc += text;
        note("document extended by " + std::to_string(text.size()) + " bytes", true);
      } else {
        a.surplus += text;
        note("surplus \"" + Escape(text) + "\"", !head);
      }
      break;
    }
    case mCodingList: {
      static const char* const kCodings[] = {
          "gzip, chunked", "chunked, gzip",    "chunked, chunked",
          "identity",      "x-fuzz",           "",
          ", chunked",     "chunked,",         "chunked;q=1",
          "gzip",          "deflate, chunked", "chunked\t,\t"};
      const std::string line = std::string("Transfer-Encoding: ") + kCodings[in.Byte() % 12];
      SetField(a, "transfer-encoding", line);
      note("\"" + Escape(line) + "\"", false);
      break;
    }
    case mLengthValue: {
      static const char* const kValues[] = {"abc",
                                            "-1",
                                            "+@",
                                            "0x@",
                                            "@ @",
                                            "",
                                            "@, ^",
                                            "99999999999999999999",
                                            "18446744073709551616",
                                            "~",
                                            "^",
                                            "0",
                                            "0@",
                                            "@\x0b",
                                            " @ ",
                                            "@;"};
      const std::string line =
          Substitute(std::string("Content-Length: ") + kValues[in.Byte() % 16], n);
      SetField(a, "content-length", line);
      note("\"" + Escape(line) + "\"", false);
      break;
    }
    case mSecondFramingField: {
      static const char* const kLines[] = {"Content-Length: ^", "Content-Length: ~",
                                           "Content-Length: 0", "Transfer-Encoding: chunked",
                                           "Transfer-Encoding: gzip"};
      const std::string line = Substitute(kLines[in.Byte() % 5], n);
      a.fields.push_back(line);
      note("second field \"" + line + "\"", false);
      break;
    }
    case mDropFramingField: {
      const int cl = FindField(a, "content-length");
      const int te = FindField(a, "transfer-encoding");
      const int i = te >= 0 ? te : cl;
      if (i < 0) break;
      a.fields.erase(a.fields.begin() + i);
      note("framing field removed", false);
      break;
    }
    case mFoldedFramingField: {
      const bool tab = (in.Byte() & 1) != 0;
      int i = FindField(a, "transfer-encoding");
      if (i < 0) i = FindField(a, "content-length");
      if (i < 0) break;
      std::string& f = a.fields[static_cast<std::size_t>(i)];
      const std::size_t colon = f.find(':');
      const std::string value = f.substr(colon + 1);
      f = f.substr(0, colon + 1);
      a.fields.insert(a.fields.begin() + i + 1, (tab ? "\t" : " ") + value);
      note("framing field folded", false);
      break;
    }
    case mBlankBeforeColon: {
      static const char* const kForms[] = {"Content-Length : @", "Transfer-Encoding\t: chunked",
                                           " Transfer-Encoding: chunked", "Content-Length\t:@"};
      const std::uint8_t form = in.Byte() % 4;
      const std::string line = Substitute(kForms[form], n);
      SetField(a, form == 0 || form == 3 ? "content-length" : "transfer-encoding", line);
      note("\"" + Escape(line) + "\"", false);
      break;
    }
    case mBareLf: {
      const std::uint8_t mask = in.Byte();
      a.bare_lf |= mask == 0 ? 0x80000000u : mask;
      note("header lines ended by LF alone", false);
      break;
    }
    case mStatusLine: {
      static const char* const kLines[] = {"HTTP/1.1 204 No Content",
                                           "HTTP/1.1 304 Not Modified",
                                           "HTTP/1.0 404 Not Found",
                                           "HTTP/1.1 200",
                                           "HTTP/1.1 200 ",
                                           "HTTP/1.0 200 OK",
                                           "HTTP/1.1 200 OK",
                                           "HTTP/1.1 2000 OK",
                                           "http/1.1 200 OK",
                                           "HTTP/2 200",
                                           "HTTP/1.1 206 Partial Content",
                                           "HTTP/1.1 302 Found",
                                           "HTTP/1.0  200  OK",
                                           "<html>"};
      a.status = kLines[in.Byte() % 14];
      note("status line \"" + a.status + "\"", false);
      break;
    }
    case mChunkSize: {
      static const char* const kSizes[] = {"",
                                           "g",
                                           "-1",
                                           "+@",
                                           " @",
                                           "0x@",
                                           "ffffffff",
                                           "100000000",
                                           "7fffffff",
                                           "80000000",
                                           "10000000000000000",
                                           "^",
                                           "~",
                                           "0",
                                           "@ @",
                                           "@x",
                                           "00000000000000000000@"};
      const std::size_t k = in.Byte() % (a.chunks.size() + 1);
      const char* pattern = kSizes[in.Byte() % 17];
      if (a.framing != TFraming::Chunked) break;
      std::string& size = k < a.chunks.size() ? a.chunks[k].size : a.last_chunk;
      const std::size_t len = k < a.chunks.size() ? a.chunks[k].data.size() : 0;
      // The chunk's own size in hexadecimal, as in Substitute.
      std::string text;
      for (char c : std::string_view(pattern)) {
        if (c == '@')
          text += Hex(len, false);
        else if (c == '^')
          text += Hex(len + 1, false);
        else if (c == '~')
          text += Hex(len == 0 ? 0 : len - 1, false);
        else
          text += c;
      }
      size = text;
      note("chunk " + std::to_string(k) + " size \"" + Escape(text) + "\"", false);
      break;
    }
    case mChunkLineEnds: {
      static const char* const kEnds[] = {"\n", "",      "X\r\n",    "\r\r\n",
                                          "\r", " \r\n", "\r\n\r\n", ";\r\n"};
      const std::size_t k = in.Byte() % (a.chunks.size() + 1);
      const std::uint8_t which = in.Byte();
      if (a.framing != TFraming::Chunked || k >= a.chunks.size()) break;
      std::string& end = (which & 0x80) ? a.chunks[k].line_end : a.chunks[k].data_end;
      end = kEnds[which % 8];
      note(std::string("chunk ") + std::to_string(k) + ((which & 0x80) ? " size" : " data") +
               " line ended by \"" + Escape(end) + "\"",
           false);
      break;
    }
    case mNoLastChunk:
      if (a.framing != TFraming::Chunked) break;
      a.last_dropped = true;
      note("no last chunk", false);
      break;
    case mInterimAnswer: {
      static const char* const kInterim[] = {
          "HTTP/1.1 103 Early Hints\r\nLink: </a>\r\n\r\n", "HTTP/1.0 100 Continue\r\n\r\n",
          "HTTP/1.1 101 Switching Protocols\r\n\r\n",
          "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 100 Continue\r\n\r\n",
          "HTTP/1.1 100 Continue\r\nContent-Length: 5\r\n\r\n"};
      a.interim = kInterim[in.Byte() % 5];
      note("interim \"" + Escape(a.interim) + "\"", false);
      break;
    }
    case mTruncate:
    case mOverwrite:
    case mInsert:
    case mDelete: {
      TByteMutation m{kind, index, in.Below(4096), std::string(), 0};
      if (kind == mOverwrite) m.text = std::string(1, static_cast<char>(in.Byte()));
      if (kind == mDelete) m.count = 1 + in.Byte() % 16;
      if (kind == mInsert) {
        static const char* const kTexts[] = {"\r\n",
                                             "\n",
                                             "\r",
                                             "0\r\n\r\n",
                                             kSmuggled,
                                             "Content-Length: 3\r\n",
                                             "Transfer-Encoding: chunked\r\n",
                                             ";",
                                             " ",
                                             "Location: /evil\r\n",
                                             nullptr};
        const std::uint8_t which = in.Byte() % 11;
        m.text = kTexts[which] ? kTexts[which] : std::string(1, static_cast<char>(in.Byte()));
      }
      later.push_back(m);
      a.well_formed = false;
      break;
    }
    case kMutationKinds:
      break;
  }
}

void ApplyByteMutation(TAnswer& a, const TByteMutation& m) {
  std::string& b = a.bytes;
  const std::size_t pos = b.empty() ? 0 : m.pos % (b.size() + (m.kind == mInsert ? 1 : 0));
  switch (m.kind) {
    case mTruncate:
      b.resize(pos);
      a.notes += "; cut after " + std::to_string(pos) + " bytes";
      break;
    case mOverwrite:
      if (b.empty()) break;
      b[pos] = m.text[0];
      a.notes += "; byte " + std::to_string(pos) + " set to \"" + Escape(m.text) + "\"";
      break;
    case mInsert:
      b.insert(pos, m.text);
      a.notes += "; \"" + Escape(m.text) + "\" inserted at " + std::to_string(pos);
      break;
    case mDelete:
      if (b.empty()) break;
      b.erase(pos, m.count);
      a.notes += "; " + std::to_string(m.count) + " bytes removed at " + std::to_string(pos);
      break;
    default:
      break;
  }
}

// ---------------------------------------------------------------------------------------------
// The server

class TServer {
 public:
  TServer(const std::vector<TAnswer>& answers, bool head, TInput& cuts, int cut_mode)
      : FAnswers(answers), FHead(head), FCuts(cuts), FCutMode(cut_mode) {}

  std::string Log;
  int LastAnswer = -1;  // the answer to the client's last request, -1 for none
  // The bytes that come on the connection after the client's last request: what an earlier
  // answer left undelivered there (surplus past its end), then the answer itself.
  std::string LastStream;
  // Some request went out while an earlier answer's bytes were still to come on its
  // connection: what answers it depends on the timing, not only on the script.
  bool Surplus = false;
  // The client's last request went out on a connection the server closes after the bytes still
  // to come there: those bytes (LastStream) are all the answer it gets.
  bool SurplusOnly = false;
  // Set when a request went out on a connection before the answer there was complete.
  std::string EarlyRequest;

  bool HasRead() const { return !FQueue.empty(); }
  // Hands the next read to the socket.
  void Deliver(httptest::TFakeSocket& f) {
    TPiece piece = std::move(FQueue.front());
    FQueue.pop_front();
    FSegments[piece.segment].delivered += piece.bytes.size();
    f.Pieces.push_back(std::move(piece.bytes));
    f.DeliverAll();
  }

  // Follows the client's connections and requests; call after every step.
  void Check(httptest::TFakeSocket& f) {
    const bool connected = f.State() == wsConnected;
    if (!connected || f.Connects != FConnection) {
      if (!FQueue.empty()) Log += "    (" + std::to_string(FQueue.size()) + " reads dropped)\n";
      FQueue.clear();
      FSegments.clear();
      FClosing = false;
      FConnection = connected ? f.Connects : -1;
      if (connected) Log += "  connection " + std::to_string(f.Connects) + "\n";
    }
    for (;;) {
      const std::size_t end = f.Sent.find("\r\n\r\n", FSeen);
      if (end == std::string::npos) break;
      const std::string line = f.Sent.substr(FSeen, f.Sent.find("\r\n", FSeen) - FSeen);
      FSeen = end + 4;
      Log += "    request \"" + Escape(line) + "\"";
      if (connected && !FQueue.empty()) CheckAnswerComplete();
      SurplusOnly = false;
      if (connected && FClosing && !FQueue.empty()) {
        // The server closes after what is still to come; the request gets no answer of its own,
        // but those bytes reach it after it went out, and any client reads them as its answer.
        LastAnswer = -1;
        LastStream.clear();
        TakeSurplus();
        SurplusOnly = true;
        Log += ": not answered, the server is closing\n";
      } else if (!connected || FClosing) {
        LastAnswer = -1;
        Log += ": not answered, the server is closing\n";
      } else if (FNext < FAnswers.size()) {
        LastStream.clear();
        if (!FQueue.empty()) TakeSurplus();
        LastAnswer = static_cast<int>(FNext);
        LastStream += FAnswers[FNext].bytes;
        FClosing = FAnswers[FNext].close_after;
        Log += ": answer " + std::to_string(FNext) + " in reads of";
        Enqueue(static_cast<int>(FNext));
        Log += "\n";
        ++FNext;
      } else {
        LastAnswer = -1;
        FClosing = true;
        Log += ": no answer left, the server closes\n";
      }
    }
  }

 private:
  struct TPiece {
    std::size_t segment;
    std::string bytes;
  };
  struct TSegment {
    int answer;
    std::size_t delivered;
  };

  // A request went out while bytes of the answer before it were still to come. If the
  // reference reads that answer as complete only later, the client misread its end; otherwise
  // those bytes are surplus past its end, and no client can tell them from the new answer.
  void CheckAnswerComplete() {
    const TSegment& previous = FSegments.back();
    const fuzzref::TDecoded ref =
        fuzzref::DecodeAnswer(FAnswers[static_cast<std::size_t>(previous.answer)].bytes, FHead);
    if (ref.Verdict == fuzzref::TVerdict::Complete && previous.delivered < ref.End &&
        EarlyRequest.empty())
      EarlyRequest = "a request went out after " + std::to_string(previous.delivered) +
                     " bytes of answer " + std::to_string(previous.answer) +
                     ", which its framing ends after " + std::to_string(ref.End) + " (" + ref.Why +
                     ")";
  }

  // The surplus still to come goes before the new answer.
  void TakeSurplus() {
    Surplus = true;
    std::size_t left = 0;
    for (const TPiece& p : FQueue) {
      LastStream += p.bytes;
      left += p.bytes.size();
    }
    Log += " (after " + std::to_string(left) + " bytes still to come)";
  }

  void Enqueue(int answer) {
    const std::string& bytes = FAnswers[static_cast<std::size_t>(answer)].bytes;
    FSegments.push_back({answer, 0});
    for (std::size_t at = 0; at < bytes.size();) {
      std::size_t n = bytes.size() - at;
      if (FCutMode == 1) {
        n = 1;
      } else if (FCutMode == 0) {
        const std::uint8_t c = FCuts.Byte();
        if (c != 0) n = std::min<std::size_t>(c, n);
      }
      FQueue.push_back({FSegments.size() - 1, bytes.substr(at, n)});
      Log += " " + std::to_string(n);
      at += n;
    }
  }

  const std::vector<TAnswer>& FAnswers;
  bool FHead;
  TInput& FCuts;
  int FCutMode;
  std::deque<TPiece> FQueue;        // the reads still to come on the current connection
  std::vector<TSegment> FSegments;  // the answers queued on the current connection
  int FConnection = -1;
  bool FClosing = false;
  std::size_t FSeen = 0;
  std::size_t FNext = 0;
};

bool DispatchOne() {
  plat::Message m;
  if (!plat::PeekMessage(m)) return false;
  plat::TranslateMessage(m);
  plat::DispatchMessage(m);
  return true;
}

// ---------------------------------------------------------------------------------------------
// The oracle

struct TOutcome {
  int done = 0;
  int err = -1;
  int status = -1;
  std::string reason;
  std::string stored;
  std::int64_t rcvd = -1;
  std::int64_t reported = 0;
};

struct TCase {
  bool head = false;
  bool v11 = false;
  bool raw = false;
  bool eager = false;
  int cut_mode = 0;
  std::vector<TAnswer> answers;
};

std::string Describe(const TCase& c, const TServer* server, const TOutcome* o) {
  std::string s;
  s += std::string("  request: ") + (c.head ? "HEAD" : "GET") + ", RequestVer " +
       (c.v11 ? "1.1" : "1.0") + "; reads " +
       (c.cut_mode == 1   ? "of one byte"
        : c.cut_mode == 2 ? "of whole answers"
                          : "cut by the input") +
       (c.eager ? ", delivered before pending messages" : "") + "\n";
  for (std::size_t i = 0; i < c.answers.size(); ++i) {
    const TAnswer& a = c.answers[i];
    s += "  answer " + std::to_string(i) +
         (c.raw          ? " (raw"
          : a.relocation ? " (relocation, "
                         : " (final, ") +
         a.notes + (a.well_formed && !c.raw ? ", well formed" : "") + "):\n    \"" +
         Escape(a.bytes) + "\"\n";
  }
  if (server) s += "  server:\n" + server->Log;
  if (server && server->SurplusOnly) {
    const fuzzref::TDecoded ref = fuzzref::DecodeAnswer(server->LastStream, c.head);
    s += "  reference for the surplus after the last request: " +
         std::string(fuzzref::VerdictName(ref.Verdict)) + (ref.Lenient ? " (lenient)" : "") + ", " +
         ref.Why + ", status " + std::to_string(ref.Status) + ", document \"" +
         Escape(ref.Document, 300) + "\"\n";
  }
  if (server && server->LastAnswer >= 0) {
    const fuzzref::TDecoded ref = fuzzref::DecodeAnswer(server->LastStream, c.head);
    const std::size_t before = server->LastStream.size() -
                               c.answers[static_cast<std::size_t>(server->LastAnswer)].bytes.size();
    s += "  reference for answer " + std::to_string(server->LastAnswer) +
         (before ? " after " + std::to_string(before) + " bytes of surplus" : std::string()) +
         ": " + fuzzref::VerdictName(ref.Verdict) + (ref.Lenient ? " (lenient)" : "") + ", " +
         ref.Why + ", status " + std::to_string(ref.Status) + ", document \"" +
         Escape(ref.Document, 300) + "\"\n";
  }
  if (o)
    s += "  client: OnRequestDone " + std::to_string(o->done) + " time(s), ErrCode " +
         std::to_string(o->err) + ", StatusCode " + std::to_string(o->status) +
         ", ReasonPhrase \"" + Escape(o->reason) + "\", RcvdCount " + std::to_string(o->rcvd) +
         ", stored \"" + Escape(o->stored, 300) + "\"\n";
  return s;
}

void Broken(const char* rule, const std::string& detail, const TCase& c, const TServer* server,
            const TOutcome* o) {
  if (fuzzref::TOracleSettings::Get().Skips(rule)) return;
  const std::string s = "\n*** HTTP client rule broken: " + std::string(rule) + "\n  " + detail +
                        "\n" + Describe(c, server, o);
  std::fputs(s.c_str(), stderr);
  std::abort();
}

TCase MakeCase(TInput& in) {
  TCase c;
  const std::uint8_t settings = in.Byte();
  const std::uint8_t reads = in.Byte();
  c.v11 = (settings & 1) != 0;
  c.head = (settings & 2) != 0;
  c.raw = (settings & 32) != 0;
  c.eager = (reads & 1) != 0;
  c.cut_mode = (reads >> 1) & 3;
  if (c.cut_mode == 3) c.cut_mode = 0;
  if (c.raw) {
    TAnswer a;
    a.bytes = in.Raw(in.Below(4096));
    a.close_after = true;
    a.well_formed = false;
    c.answers.push_back(a);
    return c;
  }
  // The mutations come before the answers, in records of a fixed size, so that a change in a
  // document's length does not shift them.
  constexpr std::size_t kRecord = 6;
  const int mutations = in.Byte() % 7;
  const std::string records = in.Text(kRecord * static_cast<std::size_t>(mutations));
  const int hops = (settings >> 2) & 3;
  for (int i = 0; i < hops; ++i)
    c.answers.push_back(MakeAnswer(in, true, i, c.v11));
  c.answers.push_back(MakeAnswer(in, false, hops, c.v11));
  // Scripts not held to succeed, though well formed: a HEAD follows a relocation only when the
  // connection closes after it (the client's written behaviour, not a framing matter); and a
  // client retries a request lost on a kept connection that the server closed only once, so
  // the server does that at most once.
  int closed_kept = 0;
  for (const TAnswer& a : c.answers)
    closed_kept += a.relocation && a.kept_open && a.close_after;
  if ((c.head && hops > 0) || closed_kept > 1)
    for (TAnswer& a : c.answers)
      a.well_formed = false;
  if (settings & 16) {
    c.answers.back().interim = "HTTP/1.1 100 Continue\r\n\r\n";
    c.answers.back().notes += ", after an interim 100 answer";
  }
  std::vector<TByteMutation> later;
  for (std::size_t at = 0; at < records.size(); at += kRecord) {
    TInput record(reinterpret_cast<const std::uint8_t*>(records.data() + at), kRecord);
    Mutate(record, c.answers, c.head, later);
  }
  for (TAnswer& a : c.answers)
    a.bytes = Serialise(a, c.head);
  for (const TByteMutation& m : later)
    ApplyByteMutation(c.answers[m.answer], m);

  // The generator and the reference must agree on the well-formed answers.
  for (const TAnswer& a : c.answers) {
    if (!a.well_formed) continue;
    const fuzzref::TDecoded ref = fuzzref::DecodeAnswer(a.bytes, c.head);
    if (ref.Verdict != fuzzref::TVerdict::Complete || ref.Lenient ||
        ref.Document != (c.head ? std::string() : a.doc))
      Broken("harness-self-check",
             "a well-formed answer is not read as complete with its document: " + ref.Why, c,
             nullptr, nullptr);
  }
  return c;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzref::StartOracle();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  TInput in(data, size);
  const TCase c = MakeCase(in);
  bool well_formed = !c.raw;
  for (const TAnswer& a : c.answers)
    well_formed = well_formed && a.well_formed;

  httptest::TFakeHttpCli cli;
  cli.SetRequestVer(c.v11 ? u"1.1" : u"1.0");
  TMemoryStream stream;
  cli.SetRcvdStream(&stream);
  TOutcome o;
  TServer server(c.answers, c.head, in, c.cut_mode);
  cli.OnRequestDone = [&](TObject*, THttpRequest, std::uint16_t err) {
    if (++o.done > 1) return;
    o.err = err;
    o.status = cli.StatusCode();
    o.reason = text::ToUtf8(cli.ReasonPhrase());
    o.stored = std::string(stream.View());
    o.rcvd = cli.RcvdCount();
  };
  cli.OnDocData = [&](TObject*, const void*, std::int32_t n) {
    o.reported += n;
    if (cli.RcvdCount() > stream.Size() - cli.RcvdStreamStartSize())
      Broken("stored-before-reported", "OnDocData reported a block not yet in RcvdStream", c,
             &server, &o);
  };
  cli.SetURL(u"http://fuzz.invalid/dir/file.exe");
  if (c.head)
    cli.HeadASync();
  else
    cli.GetASync();

  httptest::TFakeSocket& f = cli.Fake();
  bool idle = false;
  for (int step = 0; step < 50000 && !idle; ++step) {
    server.Check(f);
    const bool connected = f.State() == wsConnected;
    if (!server.EarlyRequest.empty())
      Broken("request-waits-for-complete-answer", server.EarlyRequest, c, &server, &o);
    if (c.eager && connected && server.HasRead()) {
      server.Deliver(f);
    } else if (DispatchOne()) {
    } else if (connected && server.HasRead()) {
      server.Deliver(f);
    } else if (connected) {
      server.Log += "    the server closes\n";
      f.PeerClose();
    } else {
      idle = true;
    }
  }

  if (o.done != 1 || cli.State() != httpReady)
    Broken("request-ends-once",
           "after the server closed, OnRequestDone fired " + std::to_string(o.done) +
               " time(s) and the state is " + HttpStateName(cli.State()),
           c, &server, &o);
  if (stream.Size() > o.reported)
    Broken("stream-holds-only-reported-bytes",
           "RcvdStream holds " + std::to_string(stream.Size()) + " bytes, OnDocData reported " +
               std::to_string(o.reported),
           c, &server, &o);

  if (fuzzref::TOracleSettings::Get().Verbose)
    std::fputs(("\n" + Describe(c, &server, &o)).c_str(), stderr);
  const bool success = o.err == 0 && o.status == 200;
  if (success) {
    const bool answered = server.LastAnswer >= 0 || server.SurplusOnly;
    if (!answered)
      Broken("success-needs-an-answer", "success, but the client's last request got no answer", c,
             &server, &o);
    const fuzzref::TDecoded ref =
        !answered ? fuzzref::TDecoded{fuzzref::TVerdict::Unjudged, {}, false, {}, 0, 0}
                  : fuzzref::DecodeAnswer(server.LastStream, c.head);
    switch (ref.Verdict) {
      case fuzzref::TVerdict::Unjudged:
        break;
      case fuzzref::TVerdict::Incomplete:
        Broken("success-on-cut-answer", "success, but the answer was cut short: " + ref.Why, c,
               &server, &o);
        break;
      case fuzzref::TVerdict::Invalid:
        Broken("success-on-invalid-framing", "success, but the framing is invalid: " + ref.Why, c,
               &server, &o);
        break;
      case fuzzref::TVerdict::Complete:
        if (ref.Status != 200)
          Broken("success-needs-status-200",
                 "success, but the answer's status is " + std::to_string(ref.Status), c, &server,
                 &o);
        if (o.stored != ref.Document)
          Broken("success-with-wrong-document",
                 "success, but the stored bytes are not the answer's document", c, &server, &o);
        if (o.rcvd != static_cast<std::int64_t>(o.stored.size()))
          Broken("rcvd-count-is-document-size", "success, but RcvdCount is not the document's size",
                 c, &server, &o);
        break;
    }
  }
  // Surplus that reaches a request's connection after the request went out is read as its
  // answer by any client, so the outcome then depends on the timing.
  if (well_formed && !server.Surplus) {
    const TAnswer& last = c.answers.back();
    const std::string expected = c.head ? std::string() : last.doc;
    if (!success || o.stored != expected ||
        server.LastAnswer != static_cast<int>(c.answers.size()) - 1)
      Broken("well-formed-answer-succeeds",
             "every answer is well formed, yet the request did not end in success with the final "
             "document",
             c, &server, &o);
  }
  return 0;
}
