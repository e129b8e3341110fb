// From the editable scene description (what the pbrt-v4 reader produces) to the render-time
// scene.
#pragma once

#include <string>
#include <vector>

#include "engine/runtime/traceable_scene.h"

namespace qor::scene {
struct scene_description;
}

namespace engine {

// Flattens the description. What the engine cannot render as written is rendered the nearest
// way it can and reported in `warnings` (one line each, with the scene file location). Throws
// std::runtime_error for a description that breaks its own invariants (an index out of range).
traceable_scene build_traceable_scene(const qor::scene::scene_description& description,
                                      std::vector<std::string>& warnings);

}  // namespace engine
