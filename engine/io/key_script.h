// Scripted key presses (--keys "3:1,5:r"): each key is delivered once the render has reached the
// iteration it names.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace engine::io {

struct scripted_key {
  int iteration;  // 1-based: the iteration in progress when the key is due
  uint32_t key;   // the character code, or 27 (Escape) for "esc"
};

// Parses a comma-separated list of ITERATION:KEY pairs. KEY is one printable character other than
// ',' or the word "esc". The result is ordered by iteration; keys due at the same iteration keep
// the order of the list. Throws std::invalid_argument naming the faulty pair.
std::vector<scripted_key> parse_key_script(std::string_view text);

}  // namespace engine::io
