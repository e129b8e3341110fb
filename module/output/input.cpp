// Run-time keys forwarded by the host.
#include "module/render/processes.h"
#include "module/render/qor_ppm.h"

bool qorPPM::poll_input(qorScene& scene, view* shown) {
  qorOutput_event event{};
  // Every process of a shared render acts on the first one's input, so they stay in step and end
  // at the same iteration.
  if (shared_input(scene, event) == 0) return true;
  if (event.type == qor_event_end) return false;
  if (event.type != qor_event_key) return true;
  const uint32_t key = event.key;
  if (key >= '0' && key <= '9') {
    *shown = static_cast<view>(key - '0');
  } else if (key == 'r' || key == '-') {
    reset_points();
  } else if (key == 's') {
    smooth = !smooth;
  }
  return true;
}
