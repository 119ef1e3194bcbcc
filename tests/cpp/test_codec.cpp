// The Python-free pieces of the codec: byte writer and reader, value tree equality, the
// strict UTF-8 check and the byte checker.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "case_name.hpp"
#include "codec/bytes.hpp"
#include "codec/check.hpp"
#include "codec/limits.hpp"
#include "codec/messages.hpp"
#include "codec/value.hpp"

namespace {

using codec::Kind;
using codec::Reader;
using codec::ReadError;
using codec::Value;
using codec::Writer;
using Bytes = std::vector<unsigned char>;

Bytes out(const Writer& w) {
  Bytes b(w.size());
  if (!b.empty()) std::memcpy(b.data(), w.data(), b.size());
  return b;
}

template <class F>
Bytes written(F&& f) {
  Writer w;
  f(w);
  return out(w);
}

// Header forms at 0..65536 and every integer boundary are pinned in pytest (test_encode);
// the 32-bit maximum needs a length Python cannot afford to build.
TEST(Writer, HeadersAtTheLargestLength) {
  const Bytes tail{0xff, 0xff, 0xff, 0xff};
  for (const auto& [write, marker] :
       std::vector<std::pair<void (Writer::*)(std::uint32_t), unsigned char>>{
           {&Writer::write_array_header, 0xdd},
           {&Writer::write_map_header, 0xdf},
           {&Writer::write_str_header, 0xdb},
           {&Writer::write_bin_header, 0xc6}}) {
    Bytes expected{marker};
    expected.insert(expected.end(), tail.begin(), tail.end());
    EXPECT_EQ(written([&](Writer& w) { (w.*write)(0xffffffffu); }), expected);
  }
}

TEST(Writer, GrowsGeometricallyAndKeepsContent) {
  Writer w;
  EXPECT_EQ(w.capacity(), codec::kInitialCapacity);
  std::size_t grows = 0, cap = w.capacity();
  for (int i = 0; i < 100000; ++i) {
    w.put(static_cast<unsigned char>(i));
    if (w.capacity() != cap) {
      EXPECT_GE(w.capacity(), 2 * cap);
      cap = w.capacity();
      ++grows;
    }
  }
  EXPECT_LE(grows, 11u);  // 64 << 11 > 100000
  for (int i = 0; i < 100000; ++i) ASSERT_EQ(w.data()[i], static_cast<unsigned char>(i));
  // One large append past several doublings at once.
  std::string big(1 << 20, 'x');
  w.put(big.data(), big.size());
  EXPECT_EQ(w.size(), 100000u + big.size());
  EXPECT_EQ(w.data()[w.size() - 1], 'x');
  w.put(nullptr, 0);
  EXPECT_EQ(w.size(), 100000u + big.size());
}

TEST(Writer, ResetDropsOnlyLargeStorage) {
  Writer w;
  std::string s(1000, 'a');
  w.put(s.data(), s.size());
  std::size_t grown = w.capacity();
  w.reset(grown);  // within the limit: kept
  EXPECT_EQ(w.size(), 0u);
  EXPECT_EQ(w.capacity(), grown);
  w.put(s.data(), s.size());
  w.reset(512);
  EXPECT_EQ(w.size(), 0u);
  EXPECT_EQ(w.capacity(), codec::kInitialCapacity);
  w.write_i64(-1);
  EXPECT_EQ(out(w), Bytes{0xff});
}

TEST(Reader, ReadsAndStopsAtEnd) {
  const unsigned char data[] = {0x01, 0x02, 0x03, 0x04, 0x05};
  Reader r(data, sizeof data);
  unsigned char b;
  ASSERT_EQ(r.byte(b), ReadError::None);
  EXPECT_EQ(b, 0x01);
  std::uint64_t n;
  ASSERT_EQ(r.len_of(2, n), ReadError::None);
  EXPECT_EQ(n, 0x0203u);
  // Not enough left for 4: the position stays.
  EXPECT_EQ(r.len_of(4, n), ReadError::EndOfInput);
  EXPECT_EQ(r.position(), 3u);
  const unsigned char* p = nullptr;
  EXPECT_EQ(r.take(3, p), ReadError::EndOfInput);
  EXPECT_EQ(r.position(), 3u);
  ASSERT_EQ(r.take(2, p), ReadError::None);
  EXPECT_EQ(p, data + 3);
  EXPECT_EQ(r.remaining(), 0u);
  ASSERT_EQ(r.take(0, p), ReadError::None);  // empty take at the end is fine
  EXPECT_EQ(r.byte(b), ReadError::EndOfInput);
  EXPECT_EQ(r.len_of(1, n), ReadError::EndOfInput);
  EXPECT_EQ(r.position(), 5u);
}

TEST(Reader, LengthOverflowLeavesPosition) {
  const unsigned char data[] = {0xcf, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
  Reader r(data, sizeof data);
  unsigned char b;
  ASSERT_EQ(r.byte(b), ReadError::None);
  std::uint64_t n;
  ASSERT_EQ(r.len_of(8, n), ReadError::None);
  EXPECT_EQ(n, UINT64_MAX);
  Reader r2(data, sizeof data);
  ASSERT_EQ(r2.byte(b), ReadError::None);
  const unsigned char* p;
  EXPECT_EQ(r2.take(UINT64_MAX, p), ReadError::LengthOverflow);
  EXPECT_EQ(r2.take(UINT64_MAX - 1, p), ReadError::EndOfInput);
  EXPECT_EQ(r2.position(), 1u);
  Reader empty(nullptr, 0);
  EXPECT_EQ(empty.byte(b), ReadError::EndOfInput);
  EXPECT_EQ(empty.take(1, p), ReadError::EndOfInput);
}

Value arr(std::vector<Value> v) { return Value::array(std::move(v)); }

TEST(Value, StructuralEquality) {
  const double nan = std::nan("");
  struct Case {
    Value a, b;
    bool equal;
  };
  const Case cases[] = {
      {Value::nil(), Value(), true},
      {Value::boolean(true), Value::boolean(true), true},
      {Value::boolean(true), Value::boolean(false), false},
      {Value::boolean(false), Value::nil(), false},
      {Value::sint(5), Value::uint(5), true},  // the view does not matter
      {Value::sint(-1), Value::uint(UINT64_MAX), false},
      {Value::sint(-1), Value::sint(-1), true},
      {Value::uint(1), Value::f64(1.0), false},
      {Value::f32(1.0f), Value::f64(1.0), false},
      {Value::f64(0.0), Value::f64(-0.0), true},
      {Value::f64(nan), Value::f64(nan), false},
      {Value::f32(2.5f), Value::f32(2.5f), true},
      {Value::str("a", true), Value::str_checked("a"), true},
      {Value::str("\xff", false), Value::str_checked("\xff"), true},
      {Value::str("a", true), Value::bin("a"), false},
      {Value::bin(std::string("\0x", 2)), Value::bin(std::string("\0y", 2)), false},
      {Value::ext(1, "x"), Value::ext(1, "x"), true},
      {Value::ext(1, "x"), Value::ext(2, "x"), false},
      {arr({Value::uint(1), Value::nil()}), arr({Value::sint(1), Value()}), true},
      {arr({Value::uint(1)}), arr({Value::uint(1), Value::uint(1)}), false},
      {arr({}), Value::map_flat({}), false},
      {Value::map_flat(
           {Value::str_checked("a"), Value::uint(1), Value::str_checked("b"), Value::uint(2)}),
       Value::map_flat(
           {Value::str_checked("b"), Value::uint(2), Value::str_checked("a"), Value::uint(1)}),
       false},  // pair order counts
      {Value::map_flat({arr({}), arr({Value::nil()})}), Value::map_flat({arr({}), arr({Value()})}),
       true},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(cases[i].a == cases[i].b, cases[i].equal) << "case " << i;
    EXPECT_EQ(cases[i].b == cases[i].a, cases[i].equal) << "case " << i;
  }
  // Copies are deep and equal; moving leaves the copy intact.
  Value m = Value::map_flat({Value::uint(1), arr({Value::str_checked("x")})});
  Value c = m;
  EXPECT_EQ(c, m);
  Value moved = std::move(m);
  EXPECT_EQ(moved, c);
  EXPECT_EQ(c.map_size(), 1u);
  EXPECT_EQ(c.map_value(0).items()[0].bytes(), "x");
}

TEST(Value, IntegerViews) {
  EXPECT_FALSE(Value::sint(0).is_negative());
  EXPECT_EQ(Value::sint(7).as_uint(), 7u);
  EXPECT_TRUE(Value::sint(std::numeric_limits<std::int64_t>::min()).is_negative());
  EXPECT_EQ(Value::uint(UINT64_MAX).to_double(), 18446744073709551616.0);
  EXPECT_EQ(Value::sint(-3).to_double(), -3.0);
  EXPECT_EQ(Value::f32(0.5f).to_double(), 0.5);
}

struct Utf8Case {
  std::string bytes;
  bool valid;
};

class Utf8 : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8, Strict) {
  const auto& c = GetParam();
  EXPECT_EQ(codec::is_valid_utf8(c.bytes), c.valid);
  // The same sequence after the eight-byte ASCII fast path and before trailing text.
  EXPECT_EQ(codec::is_valid_utf8("abcdefghij" + c.bytes + "k"), c.valid);
  EXPECT_EQ(codec::is_valid_utf8("abcdefghijklmnop" + c.bytes), c.valid);
}

INSTANTIATE_TEST_SUITE_P(Table, Utf8,
                         ::testing::Values(
                             // Rows pytest (test_decode) lacks: NUL, the edges of each overlong and
                             // lead-byte range, and a bad continuation at each position.
                             Utf8Case{"", true}, Utf8Case{std::string("\0", 1), true},
                             Utf8Case{"\xc1\xbf", false}, Utf8Case{"\xe0\x9f\xbf", false},
                             Utf8Case{"\xf0\x8f\xbf\xbf", false},
                             Utf8Case{"\xf8\x88\x80\x80\x80", false}, Utf8Case{"\xbf", false},
                             Utf8Case{"\xc2\x41", false}, Utf8Case{"\xe2\x28\xa1", false},
                             Utf8Case{"\xe2\x82\x28", false}, Utf8Case{"\xf0\x9f\x98\x41", false},
                             Utf8Case{"\xf0\x9f\xc0\x80", false}),
                         [](const auto& info) {
                           return testnames::case_name(info.index,
                                                       testnames::hex(info.param.bytes)) +
                                  (info.param.valid ? "_valid" : "_invalid");
                         });

TEST(Utf8, TruncationAtEnd) {
  // A lead byte as the very last byte must not read past the view.
  std::string s = "\xe2\x82\xac";
  for (std::size_t n = 1; n < s.size(); ++n)
    EXPECT_FALSE(codec::is_valid_utf8(std::string_view(s.data(), n))) << n;
  EXPECT_TRUE(codec::is_valid_utf8(s));
}

TEST(Utf8, EveryCodePoint) {
  // Each code point through a plain encoder: valid exactly when it is not a surrogate.
  for (char32_t cp = 0; cp <= 0x10ffff; ++cp) {
    auto cont = [cp](int shift) { return char(0x80 | (cp >> shift & 0x3f)); };
    std::string s;
    if (cp < 0x80)
      s = {char(cp)};
    else if (cp < 0x800)
      s = {char(0xc0 | cp >> 6), cont(0)};
    else if (cp < 0x10000)
      s = {char(0xe0 | cp >> 12), cont(6), cont(0)};
    else
      s = {char(0xf0 | cp >> 18), cont(12), cont(6), cont(0)};
    ASSERT_EQ(codec::is_valid_utf8(s), cp < 0xd800 || cp > 0xdfff) << std::hex << unsigned(cp);
  }
}

// Routing state can nest as deep as a guard's path is long; freeing it must not recurse.
TEST(ValueTree, MillionLevelsFreeWithoutRecursion) {
  Value v = Value::nil();
  for (int i = 0; i < 1'000'000; ++i) {
    std::vector<Value> flat;
    flat.push_back(Value::str("a", true));
    flat.push_back(std::move(v));
    v = Value::map_flat(std::move(flat));
  }
  EXPECT_EQ(v.map_size(), 1u);
  v = Value::nil();  // a recursive destructor overflows the stack here
  EXPECT_TRUE(v.is_nil());
}

// --- Byte checker ---

using codec::Flaw;
using namespace std::string_literals;

struct CheckCase {
  std::string data;
  Flaw loose;  // what loads meets
  Flaw strict;
  std::size_t at;  // of the strict result
};

std::string nested(std::size_t n, std::string_view inner) {
  return std::string(n, '\x91') + std::string(inner);
}

class CheckTest : public ::testing::TestWithParam<CheckCase> {};

TEST_P(CheckTest, FlawAndPlace) {
  const CheckCase& c = GetParam();
  const codec::Checked loose = codec::check_value(c.data, false);
  const codec::Checked strict = codec::check_value(c.data, true);
  EXPECT_EQ(loose.flaw, c.loose);
  EXPECT_EQ(strict.flaw, c.strict);
  EXPECT_EQ(strict.at, c.at);
  EXPECT_EQ(strict.size, c.data.size());
}

// Every marker family, each way to run out of input, and the flaws only the strict check
// has; `at` is where the value ends, or where the flawed item starts.
INSTANTIATE_TEST_SUITE_P(
    Inputs, CheckTest,
    ::testing::Values(CheckCase{""s, Flaw::EndOfInput, Flaw::EndOfInput, 0},
                      CheckCase{"\x7f"s, Flaw::None, Flaw::None, 1},
                      CheckCase{"\xe0"s, Flaw::None, Flaw::None, 1},
                      CheckCase{std::string("\xc0\xc2\xc3", 1), Flaw::None, Flaw::None, 1},
                      CheckCase{"\xca\x3f\x80\x00\x00"s, Flaw::None, Flaw::None, 5},
                      CheckCase{"\xca\x3f\x80\x00"s, Flaw::EndOfInput, Flaw::EndOfInput, 1},
                      CheckCase{std::string("\xcb") + std::string(8, '\0'), Flaw::None, Flaw::None,
                                9},
                      CheckCase{std::string("\xcf") + std::string(7, '\0'), Flaw::EndOfInput,
                                Flaw::EndOfInput, 1},
                      CheckCase{"\xd1\x80\x00"s, Flaw::None, Flaw::None, 3},
                      CheckCase{"\xd9\x02\xc3\xa9"s, Flaw::None, Flaw::None, 4},
                      CheckCase{"\xd9\x02\xc3"s, Flaw::EndOfInput, Flaw::EndOfInput, 2},
                      CheckCase{"\xda\x00"s, Flaw::EndOfInput, Flaw::EndOfInput, 1},
                      CheckCase{"\xa2\xff\xfe"s, Flaw::None, Flaw::InvalidUtf8, 0},
                      CheckCase{"\x92\x01\xa3\xed\xa0\x80"s, Flaw::None, Flaw::InvalidUtf8, 2},
                      CheckCase{"\xc4\x02\xff\xfe"s, Flaw::None, Flaw::None, 4},
                      CheckCase{"\xc6\xff\xff\xff\xff"s, Flaw::EndOfInput, Flaw::EndOfInput, 5},
                      CheckCase{"\xdd\xff\xff\xff\xff"s, Flaw::EndOfInput, Flaw::EndOfInput, 5},
                      CheckCase{"\x92\x01"s, Flaw::EndOfInput, Flaw::EndOfInput, 2},
                      CheckCase{"\xde\x00\x01\xa1k\x90"s, Flaw::None, Flaw::None, 6},
                      CheckCase{"\x81\x90\x01"s, Flaw::UnhashableKey, Flaw::UnhashableKey, 1},
                      CheckCase{"\x81\x80\xc1"s, Flaw::ReservedMarker, Flaw::ReservedMarker, 2},
                      CheckCase{"\x81\xdc\x00\x00"s, Flaw::EndOfInput, Flaw::EndOfInput, 4},
                      CheckCase{"\x91\xc1"s, Flaw::ReservedMarker, Flaw::ReservedMarker, 1},
                      CheckCase{"\xd4\x01\x00"s, Flaw::Extension, Flaw::Extension, 0},
                      CheckCase{"\x92\x01\xc7"s, Flaw::Extension, Flaw::Extension, 2},
                      CheckCase{"\x01\x02"s, Flaw::None, Flaw::Trailing, 1},
                      CheckCase{nested(128, "\xc0"), Flaw::None, Flaw::None, 129},
                      CheckCase{nested(128, "\x90"), Flaw::None, Flaw::None, 129},
                      CheckCase{nested(129, "\xc0"), Flaw::TooDeep, Flaw::TooDeep, 129},
                      CheckCase{nested(129, ""), Flaw::TooDeep, Flaw::TooDeep, 129},
                      CheckCase{nested(128, ""), Flaw::EndOfInput, Flaw::EndOfInput, 128}),
    [](const auto& info) {
      return testnames::case_name(info.index, testnames::hex(info.param.data)) +
             (info.param.strict == Flaw::None ? "_ok" : "_flawed");
    });

TEST(Check, MessagesAreTheDecodersWhereItFailsAlike) {
  auto message = [](std::string_view data) {
    return codec::flaw_message(codec::check_value(data, true));
  };
  EXPECT_EQ(message(""), "msgpack decode error: unexpected end of input");
  EXPECT_EQ(message("\xc1"), "msgpack decode error: reserved marker 0xc1");
  EXPECT_EQ(message("\xd5\x01"), codec::kExtensionMessage);
  EXPECT_EQ(message(nested(129, "\xc0")), codec::depth_message());
  EXPECT_EQ(message("\x90\x90"),
            "msgpack decode error: trailing data after the value, at byte 1 of 2");
  EXPECT_EQ(message("\x91\xa1\xff"), "msgpack decode error: the str at byte 1 is not valid UTF-8");
  EXPECT_EQ(message("\x81\x80\xc0"),
            "msgpack decode error: the map key at byte 1 is an array or a map, which cannot be a "
            "dict key");
  EXPECT_EQ(message("\xc0"), "");
}

}  // namespace
