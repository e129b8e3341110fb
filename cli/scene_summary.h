// What --check prints: the scene as the reader understood it.
#pragma once

#include <string>

#include "engine/scene/scene_description.h"

namespace qor::cli {

std::string summarize_scene(const qor::scene::scene_description& scene);

}  // namespace qor::cli
