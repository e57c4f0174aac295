#include "examine/json_writer.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <nlohmann/json.hpp>

namespace qx::examine {

void JsonWriter::Put(const char* text, std::size_t length) {
  buffer_.append(text, length);
  if (buffer_.size() >= (1u << 16)) Flush();
}

bool JsonWriter::Flush() {
  if (!buffer_.empty()) std::fwrite(buffer_.data(), 1, buffer_.size(), out_);
  buffer_.clear();
  return std::fflush(out_) == 0 && !std::ferror(out_);
}

void JsonWriter::BeforeValue() {
  if (afterKey_) {
    afterKey_ = false;
    return;
  }
  if (levels_.empty()) return;
  Level& level = levels_.back();
  if (!level.empty) Put(level.oneLine ? ", " : ",", level.oneLine ? 2 : 1);
  if (!level.oneLine) NewLine();
  level.empty = false;
}

void JsonWriter::NewLine() {
  buffer_ += '\n';
  buffer_.append(2 * levels_.size(), ' ');
}

void JsonWriter::Open(char bracket, bool oneLine) {
  BeforeValue();
  Put(&bracket, 1);
  // Inside a one-line array everything stays on the line.
  levels_.push_back({oneLine || (!levels_.empty() && levels_.back().oneLine), true});
}

void JsonWriter::Close(char bracket) {
  const Level level = levels_.back();
  levels_.pop_back();
  if (!level.empty && !level.oneLine) NewLine();
  Put(&bracket, 1);
  if (levels_.empty()) Put("\n", 1);
}

void JsonWriter::Key(const char* name) {
  BeforeValue();
  Put("\"", 1);
  Put(name, std::strlen(name));
  Put("\": ", 3);
  afterKey_ = true;
}

void JsonWriter::String(const std::string& text) {
  BeforeValue();
  Put(JsonQuoted(text));
}

std::string JsonQuoted(const std::string& text) {
  return nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string Printable(const std::string& text) {
  // Backslashes and quotes are harmless on a terminal, and every Windows path has
  // them; control characters and bytes that are not UTF-8 are not.
  const bool plain = std::none_of(text.begin(), text.end(),
                                  [](char c) {
                                    const auto byte = static_cast<unsigned char>(c);
                                    return byte < 0x20 || byte == 0x7F;
                                  }) &&
                     ValidUtf8(text) == text;
  return plain ? text : JsonQuoted(text);
}

std::string ValidUtf8(const std::string& text) {
  return nlohmann::json::parse(JsonQuoted(text)).get<std::string>();
}

void JsonWriter::Bool(bool value) {
  BeforeValue();
  Put(value ? "true" : "false", value ? 4 : 5);
}

void JsonWriter::Number(const char* text, std::size_t length) {
  BeforeValue();
  Put(text, length);
}

void JsonWriter::Unsigned(std::uint64_t value) {
  char text[24];
  const auto end = std::to_chars(text, text + sizeof text, value).ptr;
  Number(text, static_cast<std::size_t>(end - text));
}

namespace {

template <typename T>
std::size_t PrintfShortest(T value, char* text, std::size_t size) {
  constexpr int kMost = std::is_same_v<T, float> ? 9 : 17;
  char scientific[40];
  int digits = 1;
  int length = 0;
  for (; digits <= kMost; ++digits) {
    length = std::snprintf(scientific, sizeof scientific, "%.*e", digits - 1,
                           static_cast<double>(value));
    if (static_cast<T>(std::strtod(scientific, nullptr)) == value) break;
  }
  digits = std::min(digits, kMost);
  const int exponent = std::atoi(std::strchr(scientific, 'e') + 1);
  // Fixed notation unless scientific is shorter; a fixed integer is written exactly
  // (the digits nearest the value), as std::to_chars does.
  const int fraction = std::max(digits - 1 - exponent, 0);
  const int fixedLength = (std::signbit(value) ? 1 : 0) + std::max(exponent + 1, 1) +
                          (fraction > 0 ? 1 + fraction : 0);
  if (fixedLength <= length) {
    return static_cast<std::size_t>(
        std::snprintf(text, size, "%.*f", fraction, static_cast<double>(value)));
  }
  return static_cast<std::size_t>(std::snprintf(text, size, "%s", scientific));
}

// The shortest digits that read back as the same value, as std::to_chars writes them;
// where the standard library lacks it for floating point (the page's WebAssembly
// build), the same text from printf, so the page and QXInspect write the same JSON.
template <typename T>
char* Shortest(T value, char* text, std::size_t size) {
#if defined(__cpp_lib_to_chars)
  return std::to_chars(text, text + size, value).ptr;
#else
  return text + PrintfShortest(value, text, size);
#endif
}

// Non-finite values as strings; finite ones keep a fraction or exponent, so that every
// float reads back as a float.
template <typename T>
std::size_t FormatReal(T value, char* text, std::size_t size) {
  if (std::isnan(value)) return static_cast<std::size_t>(std::snprintf(text, size, "\"NaN\""));
  if (std::isinf(value)) {
    return static_cast<std::size_t>(
        std::snprintf(text, size, value > 0 ? "\"Infinity\"" : "\"-Infinity\""));
  }
  char* end = Shortest(value, text, size - 2);
  if (std::find_if(text, end, [](char c) { return c == '.' || c == 'e'; }) == end) {
    *end++ = '.';
    *end++ = '0';
  }
  return static_cast<std::size_t>(end - text);
}

}  // namespace

std::string ShortestByPrintf(float value) {
  char text[64];
  return std::string(text, PrintfShortest(value, text, sizeof text));
}

std::string ShortestByPrintf(double value) {
  char text[64];
  return std::string(text, PrintfShortest(value, text, sizeof text));
}

void JsonWriter::Float(float value) {
  char text[40];
  Number(text, FormatReal(value, text, sizeof text));
}

void JsonWriter::Double(double value) {
  char text[40];
  Number(text, FormatReal(value, text, sizeof text));
}

}  // namespace qx::examine
