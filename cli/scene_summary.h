// What --check prints: the scene as the reader understood it, and the lights and materials its
// kinds made of it.
#pragma once

#include <string>

#include "engine/runtime/traceable_scene.h"
#include "engine/scene/scene_description.h"

namespace qor::cli {

// `made` is what engine::build_traceable_scene made of `scene`.
std::string summarize_scene(const qor::scene::scene_description& scene,
                            const engine::traceable_scene& made);

}  // namespace qor::cli
