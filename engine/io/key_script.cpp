#include "engine/io/key_script.h"

#include <algorithm>
#include <charconv>
#include <stdexcept>
#include <string>

namespace engine::io {

std::vector<scripted_key> parse_key_script(std::string_view text) {
  std::vector<scripted_key> keys;
  if (text.empty()) return keys;
  size_t start = 0;
  while (true) {
    const size_t comma = text.find(',', start);
    const std::string_view pair = text.substr(
        start, comma == std::string_view::npos ? std::string_view::npos : comma - start);
    auto bad = [&](const std::string& why) {
      std::string message = "'";
      message.append(pair).append("': ").append(why);
      return std::invalid_argument(message);
    };
    const size_t colon = pair.find(':');
    if (colon == std::string_view::npos) throw bad("expected ITERATION:KEY");
    const std::string_view number = pair.substr(0, colon);
    const std::string_view key = pair.substr(colon + 1);

    int iteration = 0;
    const auto [end, error] =
        std::from_chars(number.data(), number.data() + number.size(), iteration);
    if (number.empty() || error != std::errc() || end != number.data() + number.size()) {
      throw bad("the iteration must be a whole number");
    }
    if (iteration < 1) throw bad("iterations are counted from 1");

    uint32_t code = 0;
    if (key == "esc") {
      code = 27;
    } else if (key.size() == 1 && key[0] > ' ' && key[0] < 127) {
      code = static_cast<unsigned char>(key[0]);
    } else {
      throw bad("the key must be one printable character or \"esc\"");
    }
    keys.push_back({iteration, code});

    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  std::stable_sort(keys.begin(), keys.end(), [](const scripted_key& a, const scripted_key& b) {
    return a.iteration < b.iteration;
  });
  return keys;
}

}  // namespace engine::io
