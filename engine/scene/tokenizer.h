// Splits pbrt scene text into tokens: quoted strings, brackets, and bare words (directive names,
// numbers, true/false). Comments run from '#' to the end of the line.
#pragma once

#include <string>
#include <string_view>

namespace qor::scene {

struct token {
  enum class kind_type { word, string, open_bracket, close_bracket, end };
  kind_type kind = kind_type::end;
  std::string_view raw;  // the token as written, quotes included; valid while the tokenizer lives
  std::string value;     // strings: the text between the quotes with escapes resolved
  int line = 0;
  int column = 0;

  std::string_view text() const { return kind == kind_type::string ? value : raw; }
};

// How a token reads in a message: "end of file", "']'", the word, or the quoted string (cut short
// when long).
std::string describe(const token& t);

class tokenizer {
 public:
  // `file` names the text in error messages.
  tokenizer(std::string text, std::string file);

  token next();  // throws scene_error on an unterminated string or a bad escape
  const token& peek();
  const std::string& file() const { return file_; }

 private:
  token scan();

  std::string text_;
  std::string file_;
  size_t pos_ = 0;
  int line_ = 1;
  int column_ = 1;
  token peeked_;
  bool has_peeked_ = false;
};

}  // namespace qor::scene
