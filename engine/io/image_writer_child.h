// Image files written by a child process that opens the image codec library while the render
// runs. Opening the library is 0.2 to 0.35 s of dynamic linking (image_codec.h), which a render
// would otherwise pay after its last iteration, before it can write its image. A child forked
// while the program still has one thread opens the library at the lowest priority, on core time
// the render leaves idle (its start-up, the tree builds), and then writes the images the render
// sends it over a socket. A thread of the render could not do the same: the dynamic linker's
// locks would stall the render's own threads for as long as the opening takes; a process shares
// no locks.
//
// The child is an optimisation only. Whenever it cannot serve (not started, not ready in time,
// gone), `write` says so and the caller writes in its own process, as it would without a child.
#pragma once

#include <string>

#include "engine/io/image_file.h"

namespace engine::io::image_writer_child {

// Forks the child. Call while the program has one thread (fork copies only the calling thread);
// does nothing if the child runs already or cannot be made.
void start();

// Whether a started child has opened the codec and waits for images.
bool ready();

// Writes through the child, waiting up to a second for it to be ready: true when it wrote
// the file. Throws std::runtime_error with the codec's reason when the child could not write it.
// False when there is no child, or it is not ready in time (it is then ended): the caller
// writes the file itself.
bool write(const std::string& name, image_format format, int width, int height, const void* data);

// Ends the child and waits for it; the program's end does the same.
void stop();

}  // namespace engine::io::image_writer_child
