// qor-render's work: read the scene, build the engine, load and configure the renderer module,
// render, write the image. Returns the exit status: 0 rendered, 1 render failure, 2 bad command
// line or scene.
#pragma once

#include "cli/command_line.h"

namespace qor::cli {

int run(const command_line& line);

}  // namespace qor::cli
