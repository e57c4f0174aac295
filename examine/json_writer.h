// JsonWriter: writes JSON to a C stream as it goes, so a document as large as a
// whole animation never has to exist in memory. Objects and arrays of containers are
// indented two spaces a level; arrays of numbers stay on one line.
//
// JSON has no NaN or infinities. Non-finite floats are written as the strings "NaN",
// "Infinity" and "-Infinity", so a reader can tell them from each other and from a
// missing value (null).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace qx::examine {

// What std::to_chars writes for a finite value (the shortest digits that read back as
// it, fixed unless scientific is shorter), made with printf: JsonWriter's digits where
// the standard library lacks floating-point std::to_chars (the page's WebAssembly build).
std::string ShortestByPrintf(float value);
std::string ShortestByPrintf(double value);

class JsonWriter {
 public:
  explicit JsonWriter(std::FILE* out) : out_(out) {}
  ~JsonWriter() { Flush(); }
  JsonWriter(const JsonWriter&) = delete;
  JsonWriter& operator=(const JsonWriter&) = delete;

  void BeginObject() { Open('{', false); }
  void EndObject() { Close('}'); }
  // A one-line array is meant for numbers: [1.5, 2, 3].
  void BeginArray(bool oneLine = false) { Open('[', oneLine); }
  void EndArray() { Close(']'); }
  // name is one of this program's own field names, plain ASCII, written as it is.
  void Key(const char* name);

  void String(const std::string& text);  // bytes that are not UTF-8 become U+FFFD
  void Bool(bool value);
  void Unsigned(std::uint64_t value);
  void Float(float value);  // the shortest text that reads back as the same float
  void Double(double value);

  // Writes what is buffered; false when the stream reported an error.
  bool Flush();

 private:
  struct Level {
    bool oneLine;
    bool empty;
  };
  void Open(char bracket, bool oneLine);
  void Close(char bracket);
  void BeforeValue();
  void NewLine();  // and the indentation of the current level
  void Put(const char* text, std::size_t length);
  void Put(const std::string& text) { Put(text.data(), text.size()); }
  void Number(const char* text, std::size_t length);

  std::FILE* out_;
  std::string buffer_;
  std::vector<Level> levels_;
  bool afterKey_ = false;
};

// text as a JSON string literal, quotes included; bytes that are not UTF-8 become U+FFFD.
std::string JsonQuoted(const std::string& text);

// text for a terminal: as it is when it holds no control character and is UTF-8, else
// JsonQuoted, so a name or path read from a file cannot send control sequences (clear
// the screen) or start a line of its own.
std::string Printable(const std::string& text);

// text with every byte that is not UTF-8 replaced by U+FFFD; valid text is unchanged.
std::string ValidUtf8(const std::string& text);

}  // namespace qx::examine
