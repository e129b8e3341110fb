// The part of image I/O that needs OpenImageIO, built as a library of its own
// (qor_image_codec.so, beside the program) that the engine opens with dlopen when it first reads
// or writes an image. Debian's OpenImageIO brings about 260 shared libraries, and linking them
// dynamically takes 0.2 to 0.35 s: linked into the program, every run would pay that before
// anything else, even --help, --check and --list-parameters. A render opens it ahead of time in
// a child process (image_writer_child.h); on a background thread of the render the dynamic
// linker's locks would stall the render's threads for as long as the loading takes.
#pragma once

#include <string>

#include "engine/io/image_file.h"

namespace engine::io {

// The codec's entry points. Plain function pointers, so that the program and the library agree
// on nothing but this record and the types it names (one build makes both).
struct image_codec {
  // Writes width x height RGB pixels to `name`: 8-bit sRGB codes for PNG and JPEG, linear floats
  // for EXR. Throws std::runtime_error with OpenImageIO's reason.
  void (*write)(const std::string& name, image_format format, int width, int height,
                const void* data);
  // Reads a regular file (the caller has checked that it is one); throws std::runtime_error
  // naming the file.
  image_pixels (*read)(const std::string& path);
};

// The codec, opened on first use. Throws std::runtime_error when the library cannot be found or
// opened.
const image_codec& loaded_image_codec();

// Whether the codec library is where loaded_image_codec looks, without opening it: a render
// checks before it starts rather than fail when it writes its image.
bool image_codec_present();

}  // namespace engine::io

// The one symbol the library exports.
extern "C" const engine::io::image_codec* qor_image_codec();
