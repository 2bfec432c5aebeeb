// Content codings and their handler.
#include "http/content_coding.h"

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

TContCodingsList::TContCodingsList() {
  FItems.push_back({u"identity", 0, [](TWriteBufferProcedure out) {
                      return std::make_unique<THttpCCodIdentity>(std::move(out));
                    }});
  FItems.push_back({u"*", 0, [](TWriteBufferProcedure out) {
                      return std::make_unique<THttpCCodStar>(std::move(out));
                    }});
}

TContCodingsList& TContCodingsList::Instance() {
  static TContCodingsList list;
  return list;
}

void TContCodingsList::Register(const String& Coding, float Quality, TContentCodingFactory Create,
                                const char* ClassName, bool Active) {
  if (Coding.empty())
    throw EHttpContentCodingException(std::string("GetCoding must be overridden in ") + ClassName);
  if (!Active) return;
  FItems.push_back({Coding, Quality, std::move(Create)});
}

namespace {

// Whether a comma-separated list of names holds name (ignoring the case of A to Z).
bool ListHolds(const String& list, const String& name) {
  const String want = text::LowerAscii(std::u16string_view(name));
  std::size_t start = 0;
  while (start <= list.size()) {
    auto comma = list.find(u',', start);
    if (comma == String::npos) comma = list.size();
    String item = list.substr(start, comma - start);
    // Names in a list may carry blanks around them.
    std::size_t b = 0, e = item.size();
    while (b < e && item[b] == u' ')
      ++b;
    while (e > b && item[e - 1] == u' ')
      --e;
    if (text::LowerAscii(std::u16string_view(item).substr(b, e - b)) == want) return true;
    start = comma + 1;
  }
  return false;
}

}  // namespace

THttpContCodHandler::THttpContCodHandler(TStream* const* RcvdStreamRef,
                                         TWriteBufferProcedure Output)
    : FRcvdStreamRef(RcvdStreamRef), FOutput(std::move(Output)) {
  for (const auto& reg : TContCodingsList::Instance().Items())
    FItems.push_back({reg.Coding, true, reg.Quality});
}

void THttpContCodHandler::PassThrough(const void* Buffer, std::int32_t Count) {
  if (TStream* stream = *FRcvdStreamRef) {
    if (stream->Write(Buffer, Count) != Count) throw EStreamError("Stream write error");
  }
  if (FOutput) FOutput(Buffer, Count);
}

void THttpContCodHandler::Prepare(const String& ContentEncoding) {
  FDecoders.clear();
  if (!FEnabled || ContentEncoding.empty()) return;
  const auto& regs = TContCodingsList::Instance().Items();
  std::size_t start = 0;
  while (start <= ContentEncoding.size()) {
    auto comma = ContentEncoding.find(u',', start);
    if (comma == String::npos) comma = ContentEncoding.size();
    String name = ContentEncoding.substr(start, comma - start);
    std::size_t b = 0, e = name.size();
    while (b < e && name[b] == u' ')
      ++b;
    while (e > b && name[e - 1] == u' ')
      --e;
    name = name.substr(b, e - b);
    const TContCodingRegistration* found = nullptr;
    for (auto it = regs.rbegin(); it != regs.rend(); ++it) {
      if (ListHolds(it->Coding, name)) {
        found = &*it;
        break;
      }
    }
    if (!found) {
      FDecoders.clear();
      return;
    }
    TWriteBufferProcedure next;
    if (FDecoders.empty()) {
      next = [this](const void* b2, std::int32_t n) { PassThrough(b2, n); };
    } else {
      THttpContentCoding* d = FDecoders.back().get();
      next = [d](const void* b2, std::int32_t n) { d->WriteBuffer(b2, n); };
    }
    FDecoders.push_back(found->Create(std::move(next)));
    start = comma + 1;
  }
}

void THttpContCodHandler::Complete() {
  for (auto it = FDecoders.rbegin(); it != FDecoders.rend(); ++it)
    (*it)->Complete();
}

void THttpContCodHandler::SetEnabled(bool Value) {
  FEnabled = Value;
  FRecalcHeader = true;
}

void THttpContCodHandler::SetUseQuality(bool Value) {
  FUseQuality = Value;
  FRecalcHeader = true;
}

void THttpContCodHandler::SetItemEnabled(int i, bool Value) {
  FItems[static_cast<std::size_t>(i)].Enabled = Value;
  FRecalcHeader = true;
}

void THttpContCodHandler::SetItemQuality(int i, float Value) {
  FItems[static_cast<std::size_t>(i)].Quality = Value;
  FRecalcHeader = true;
}

namespace {

// Appends mantissa * 2^exponent in decimal, every digit exact (floats of 2^53 and more).
void AppendScaledDecimal(std::string& out, std::uint64_t mantissa, int exponent) {
  // Little-endian limbs of nine decimal digits.
  std::vector<std::uint32_t> limbs;
  for (; mantissa != 0; mantissa /= 1000000000)
    limbs.push_back(static_cast<std::uint32_t>(mantissa % 1000000000));
  for (int i = 0; i < exponent; ++i) {
    std::uint32_t carry = 0;
    for (std::uint32_t& limb : limbs) {
      std::uint32_t doubled = limb * 2 + carry;
      carry = doubled >= 1000000000 ? 1 : 0;
      limb = doubled - carry * 1000000000;
    }
    if (carry != 0) limbs.push_back(carry);
  }
  text::AppendDecimal(out, limbs.back());
  for (std::size_t i = limbs.size() - 1; i-- > 0;)
    text::AppendDecimal(out, limbs[i], 9);
}

// printf's "%.3f" of a float. A float times 1000 is exact in a double (24 + 10 bits of
// mantissa), so rounding that product to a whole number, ties to even as printf rounds, gives
// the three decimals exactly; from 2^53 on the float is a whole number written in full.
std::string FixedThreeDecimals(float q) {
  const double v = q;
  std::string out = std::signbit(v) ? "-" : "";
  if (std::isnan(v)) return out + "nan";
  if (std::isinf(v)) return out + "inf";
  const double thousandths = std::fabs(v) * 1000.0;
  if (thousandths < 9007199254740992.0) {  // 2^53
    const auto n = static_cast<std::uint64_t>(std::nearbyint(thousandths));
    text::AppendDecimal(out, static_cast<std::int64_t>(n / 1000));
    out += '.';
    text::AppendDecimal(out, static_cast<std::int64_t>(n % 1000), 3);
    return out;
  }
  int exponent = 0;
  const double fraction = std::frexp(std::fabs(v), &exponent);  // fraction in [0.5, 1)
  AppendScaledDecimal(out, static_cast<std::uint64_t>(std::ldexp(fraction, 24)), exponent - 24);
  return out + ".000";
}

}  // namespace

String FormatQuality(float q) {
  std::string s = FixedThreeDecimals(q);
  while (!s.empty() && s.back() == '0')
    s.pop_back();
  if (!s.empty() && s.back() == '.') s.pop_back();
  if (s == "-0") s = "0";
  return text::WidenBytes(s);
}

String THttpContCodHandler::HeaderText() {
  if (!FEnabled) return String();
  if (!FRecalcHeader) return FHeaderText;
  int enabled = 0;
  for (const auto& item : FItems)
    enabled += item.Enabled ? 1 : 0;
  String out;
  for (const auto& item : FItems) {
    if (!item.Enabled) continue;
    if (FUseQuality && enabled >= 2) {
      if (!out.empty()) out += u", ";
      out += item.Coding + u";q=" + FormatQuality(item.Quality);
    } else if (item.Quality > 0) {
      if (!out.empty()) out += u", ";
      out += item.Coding;
    }
  }
  FHeaderText = out;
  FRecalcHeader = false;
  return FHeaderText;
}
