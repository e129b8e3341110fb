// The kinds of one family (shapes, materials, lights, textures) as a list of the names a scene
// file gives them, each with its factory. Each family spells its list once, in one X-macro of
// its folder, and looks names up here.
#pragma once

#include <iterator>
#include <string>
#include <string_view>

namespace qor::scene {

template <typename factory>
struct named_kind {
  std::string_view name;
  factory make;
};

// The factory of the kind called `name`, or null.
template <typename kind_list>
auto find_kind(const kind_list& kinds, std::string_view name) -> decltype(std::begin(kinds)->make) {
  for (const auto& kind : kinds) {
    if (kind.name == name) return kind.make;
  }
  return nullptr;
}

// "a, b, c": the names, for the message about a name no kind has.
template <typename kind_list>
std::string kind_names(const kind_list& kinds) {
  std::string names;
  for (const auto& kind : kinds) {
    if (kind.name.empty()) continue;
    if (!names.empty()) names += ", ";
    names += kind.name;
  }
  return names;
}

}  // namespace qor::scene
