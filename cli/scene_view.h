// What the host's parameter rule (cli/parameter_choice.h) needs of a scene as its camera sees it.
// Apart from the rule because it traces rays: qor-render and render_bench link it with the
// engine, while the rule itself stays testable without one.
#pragma once

#include "cli/parameter_choice.h"
#include "engine/runtime/engine.h"
#include "engine/runtime/traceable_scene.h"

namespace qor::cli {

// The view of the image `image` renders (its size and region where set, else the Film's). It
// traces its own coarse grid of camera rays on a second Embree scene, built in milliseconds next
// to a render, so that --list-parameters can say what a render would get without an engine.
scene_view measure_view(const engine::traceable_scene& scene, const engine::engine_settings& image);

}  // namespace qor::cli
