// What the host's parameter rule (cli/parameter_choice.h) needs of a scene as its camera sees it.
// Apart from the rule because it traces rays: qor-render and render_bench link it with the
// engine, while the rule itself stays testable without one.
#pragma once

#include "cli/parameter_choice.h"
#include "cli/render_job.h"
#include "engine/runtime/engine.h"
#include "engine/runtime/traceable_scene.h"

namespace qor::cli {

// The view of the image `image` renders (its size and region where set, else the Film's). It
// traces its own coarse grid of camera rays on a second Embree scene, built in milliseconds next
// to a render, so that --list-parameters can say what a render would get without an engine.
scene_view measure_view(const engine::traceable_scene& scene, const engine::engine_settings& image);

// The job's image region (--resolution, --crop), then its parameters in the order they apply:
// the host's choice for that image (unless --module-defaults), the scene's, the command line's.
// What qor-render and render_bench both do before a render. Throws settings_error.
void set_region_and_parameters(render_job& job, const command_line& line,
                               const engine::traceable_scene& scene,
                               const qor::scene::scene_description& description);

}  // namespace qor::cli
