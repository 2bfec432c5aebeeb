// The Windows program's own copies of the C++ runtime's error helpers: the library's errors,
// raised by real library calls, come out of them with the library's message texts.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "platform/win32/runtime/runtime_errors.h"

namespace {

// What a call raised: the error's text, and whether it was the program's own error type.
struct Raised {
  std::string what;
  bool own = false;
};

template <typename F>
Raised Raise(F f) {
  try {
    f();
  } catch (const plat::RuntimeLibraryError& e) {
    return {e.what(), true};
  } catch (const std::exception& e) {
    return {e.what(), false};
  }
  return {"(nothing raised)", false};
}

TEST(RuntimeErrors, LibraryErrorsCarryTheLibraryTexts) {
  std::string text = "abc";
  std::vector<int> numbers(3);
  struct Case {
    const char* name;
    std::function<void()> call;
    const char* what;
  } cases[] = {
      {"substr past the end", [&] { (void)text.substr(5); },
       "basic_string::substr: __pos (which is 5) > this->size() (which is 3)"},
      {"string at", [&] { (void)text.at(3); },
       "basic_string::at: __n (which is 3) >= this->size() (which is 3)"},
      {"vector at", [&] { (void)numbers.at(7); },
       "vector::_M_range_check: __n (which is 7) >= this->size() (which is 3)"},
      {"string too long", [&] { text.reserve(text.max_size() + 1); }, "basic_string::_M_create"},
      {"string from null",
       [] {
         const char* volatile null = nullptr;
         std::string s(null);
       },
       "basic_string: construction from null is not valid"},
      {"vector too long", [&] { numbers.reserve(numbers.max_size() + 1); }, "vector::reserve"},
      {"error number", [] { plat::ThrowErrorNumber(EAGAIN); }, std::strerror(EAGAIN)},
  };
  for (const Case& c : cases) {
    Raised r = Raise(c.call);
    EXPECT_TRUE(r.own) << c.name;
    EXPECT_EQ(r.what, c.what) << c.name;
  }
}

TEST(RuntimeErrors, MessageFormatsWriteStringsSizesAndPercents) {
  auto format = [](const char* f, ...) {
    va_list args;
    va_start(args, f);
    std::string s = plat::FormatRuntimeMessage(f, args);
    va_end(args);
    return s;
  };
  EXPECT_EQ(format("%s: %zu of %zu, 100%%", "copy", std::size_t{0}, ~std::size_t{0}),
            "copy: 0 of " + std::to_string(~std::size_t{0}) + ", 100%");
  EXPECT_EQ(format("%s|%d", static_cast<const char*>(nullptr)), "(null)|%d");
}

TEST(RuntimeErrors, AllocationAndCallErrorsKeepTheirStandardTypes) {
  std::function<void()> empty;
  EXPECT_THROW(empty(), std::bad_function_call);
  EXPECT_THROW(std::__throw_bad_alloc(), std::bad_alloc);
  EXPECT_THROW(std::__throw_bad_array_new_length(), std::bad_array_new_length);
}

}  // namespace
