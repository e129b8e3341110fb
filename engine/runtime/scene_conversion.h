// From the editable scene description (what the pbrt-v4 reader produces) to the render-time
// scene: the plain builder that hands each texture, material, light and area light record to its
// kind's factory, and flattens shapes, objects, the camera and the film.
#pragma once

#include "engine/runtime/traceable_scene.h"
#include "engine/scene/parameters.h"

namespace qor::scene {
struct scene_description;
}

namespace engine {

// Makes the render-time scene. What the engine cannot render as written is rendered the nearest
// way it can and reported in `warnings`, each at its place in the file; a value no kind accepts
// throws qor::scene::scene_error there, as the reader does. Throws std::runtime_error for a
// description that breaks its own invariants (an index out of range).
traceable_scene build_traceable_scene(const qor::scene::scene_description& description,
                                      qor::scene::warning_sink& warnings);

}  // namespace engine
