#include "engine/scene/tokenizer.h"

#include "engine/scene/parse_scene.h"

namespace qor::scene {

std::string describe(const token& t) {
  switch (t.kind) {
    case token::kind_type::end:
      return "end of file";
    case token::kind_type::open_bracket:
      return "'['";
    case token::kind_type::close_bracket:
      return "']'";
    case token::kind_type::string:
    case token::kind_type::word:
      break;
  }
  std::string text(t.raw.substr(0, 40));
  if (t.raw.size() > 40) text += "...";
  // Control bytes from a corrupt file would garble the terminal.
  for (char& c : text)
    if (static_cast<unsigned char>(c) < 32 || c == 127) c = '?';
  return t.kind == token::kind_type::word ? "'" + text + "'" : text;
}

tokenizer::tokenizer(std::string text, std::string file)
    : text_(std::move(text)), file_(std::move(file)) {
  if (text_.compare(0, 3, "\xEF\xBB\xBF") == 0) pos_ = 3;  // a UTF-8 byte order mark
}

const token& tokenizer::peek() {
  if (!has_peeked_) {
    peeked_ = scan();
    has_peeked_ = true;
  }
  return peeked_;
}

token tokenizer::next() {
  if (has_peeked_) {
    has_peeked_ = false;
    return std::move(peeked_);
  }
  return scan();
}

token tokenizer::scan() {
  auto advance = [&] {
    if (text_[pos_] == '\n') {
      ++line_;
      column_ = 1;
    } else {
      ++column_;
    }
    ++pos_;
  };
  auto is_space = [](char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
  };

  while (pos_ < text_.size()) {
    char c = text_[pos_];
    if (is_space(c)) {
      advance();
    } else if (c == '#') {
      while (pos_ < text_.size() && text_[pos_] != '\n') advance();
    } else {
      break;
    }
  }

  token t;
  t.line = line_;
  t.column = column_;
  if (pos_ >= text_.size()) {
    t.kind = token::kind_type::end;
    return t;
  }
  size_t start = pos_;
  char c = text_[pos_];
  if (c == '[' || c == ']') {
    t.kind = c == '[' ? token::kind_type::open_bracket : token::kind_type::close_bracket;
    advance();
    t.raw = std::string_view(text_).substr(start, 1);
    return t;
  }
  if (c == '"') {
    t.kind = token::kind_type::string;
    advance();
    while (true) {
      if (pos_ >= text_.size() || text_[pos_] == '\n' || text_[pos_] == '\r') {
        throw scene_error({file_, t.line, t.column},
                          std::string("expected '\"' to end the string, found ") +
                              (pos_ >= text_.size() ? "end of file" : "end of line"));
      }
      char s = text_[pos_];
      if (s == '"') {
        advance();
        break;
      }
      if (s == '\\') {
        int escape_line = line_, escape_column = column_;
        advance();
        if (pos_ >= text_.size()) continue;  // reported as the unterminated string above
        char e = text_[pos_];
        switch (e) {
          case 'b':
            t.value += '\b';
            break;
          case 'f':
            t.value += '\f';
            break;
          case 'n':
            t.value += '\n';
            break;
          case 'r':
            t.value += '\r';
            break;
          case 't':
            t.value += '\t';
            break;
          case '\\':
            t.value += '\\';
            break;
          case '\'':
            t.value += '\'';
            break;
          case '"':
            t.value += '"';
            break;
          default:
            throw scene_error({file_, escape_line, escape_column},
                              "expected an escape sequence (\\n, \\t, \\\", \\\\, ...), found '\\" +
                                  std::string(1, (e >= 32 && e < 127) ? e : '?') + "'");
        }
        advance();
        continue;
      }
      t.value += s;
      advance();
    }
    t.raw = std::string_view(text_).substr(start, pos_ - start);
    return t;
  }
  t.kind = token::kind_type::word;
  while (pos_ < text_.size()) {
    char w = text_[pos_];
    if (is_space(w) || w == '"' || w == '[' || w == ']' || w == '#') break;
    advance();
  }
  t.raw = std::string_view(text_).substr(start, pos_ - start);
  return t;
}

}  // namespace qor::scene
