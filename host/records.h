// Records the host shares with a renderer module, with every field at the byte offset a module
// reads it at. Modules read named fields only; the offsets are checked below so that a module
// built against these headers reads what the host wrote.
//
// Fields a module relies on are marked "module:". Everything else is the engine's own and may be
// read by modules only as documented here.
#pragma once

#include <cstddef>
#include <cstdint>

struct qorScene;   // opaque: the host's scene, passed back to the host in every call
struct qorShader;  // opaque: a host shader, only ever handed back to qor_call_*_shader
struct qorThread;
class qorRandom;
class qorLight;
struct qorRay;

// A surface description. The first word is its shader; the rest belongs to the host.
struct qorMaterial {
  qorShader* shader;  // module: passed to the info, sub-shader and photon shader calls; may be null
};

// An object of the scene that emits light by its material (an area light's geometry).
struct qorObject {
  qorMaterial* material;  // module: its shader is the emitter's photon shader
};

// The render options record, qor_info(scene, qor_info_options). The module reads and, in a few
// named fields, writes it; the engine reads it at every ray it traces for the module.
struct qorOptions {
  int32_t layout_version;       // 0: 1 for this layout
  int32_t supersampling;        // 4: module: saved, zeroed for the eye pass, restored. The engine's
                                //    own pixel supersampling level; trace_primary always traces one
                                //    ray per call, so in this engine it only round-trips.
  int32_t max_camera_depth;     // 8: specular continuations a camera ray may take (mirrors, glass)
  int32_t max_photon_depth;     // 12: scattering events a photon path may take
  int32_t thread_count;         // 16: worker threads, as qor_info(scene, qor_info_threads) reports
  float sample_weight_divisor;  // 20: module: a camera ray starts with this weight, so that the
                                //     module's sample_weight (ray weight / this) is 1 for a ray
                                //     no shader splits. The module sets 0.5 for its eye pass.
  float ray_epsilon;            // 24: offset along the geometric normal for rays leaving a surface
  uint8_t reserved_28[8];       // 28
  char shadow_mode;             // 36: module: 's' makes qor_evaluate_shadows trace shadow rays
  uint8_t reserved_37[2];       // 37
  uint8_t indirect_enabled;     // 39: module: 0 switches the indirect illumination slot off
  uint8_t reserved_40[3];       // 40
  uint8_t scene_changed;      // 43: module: set by the engine when the scene or the options change;
                              //     the renderer's frame set-up acknowledges it by clearing it
  uint8_t reserved_44[40];    // 44
  float fov;                  // 84: module: field of view in degrees, on the shorter image axis
  uint8_t reserved_88[136];   // 88
  int32_t region_x0;          // 224: module: first column of the render region; negative means 0
  int32_t region_y0;          // 228: module: first row of the render region; negative means 0
  int32_t region_x1;          // 232: module: end column (exclusive); below 1 means the width
  int32_t region_y1;          // 236: module: end row (exclusive); below 1 means the height
  int32_t width;              // 240: module: image width in pixels
  int32_t height;             // 244: module: image height in pixels
  uint8_t reserved_248[12];   // 248
  float display_scale;        // 260: module: brightness factor the engine applies when it writes
                              //      or shows an image block (the film's imaging ratio); views
                              //      of non-radiance quantities divide it out
  uint8_t reserved_264[16];   // 264
  float sample_spread;        // 280: module: width of the sub-pixel jitter in pixels (1: the box
                              //      filter over the whole pixel)
  uint8_t reserved_284[4];    // 284
  int32_t min_pixel_samples;  // 288: module: forced to 1 by the renderer, which samples each
  int32_t max_pixel_samples;  // 292:         pixel once per iteration itself
  uint8_t reserved_296[58];   // 296
  uint8_t in_eye_pass;        // 354: module: 1 while the module's eye pass traces camera rays
  uint8_t reserved_355[69];   // 355
  int32_t reserved_points;    // 424: module: measurement point records kept free below capacity
  uint8_t reserved_428[84];   // 428
};
static_assert(sizeof(qorOptions) == 512);
static_assert(offsetof(qorOptions, supersampling) == 4);
static_assert(offsetof(qorOptions, sample_weight_divisor) == 20);
static_assert(offsetof(qorOptions, shadow_mode) == 36);
static_assert(offsetof(qorOptions, indirect_enabled) == 39);
static_assert(offsetof(qorOptions, scene_changed) == 43);
static_assert(offsetof(qorOptions, fov) == 84);
static_assert(offsetof(qorOptions, region_x0) == 224);
static_assert(offsetof(qorOptions, region_y0) == 228);
static_assert(offsetof(qorOptions, region_x1) == 232);
static_assert(offsetof(qorOptions, region_y1) == 236);
static_assert(offsetof(qorOptions, width) == 240);
static_assert(offsetof(qorOptions, height) == 244);
static_assert(offsetof(qorOptions, display_scale) == 260);
static_assert(offsetof(qorOptions, sample_spread) == 280);
static_assert(offsetof(qorOptions, min_pixel_samples) == 288);
static_assert(offsetof(qorOptions, max_pixel_samples) == 292);
static_assert(offsetof(qorOptions, in_eye_pass) == 354);
static_assert(offsetof(qorOptions, reserved_points) == 424);

// The camera record, qor_camera_get(scene). The screen window (x from -screen_left to
// screen_right, y from -screen_bottom to screen_top) is given in units of the field of view: the
// module takes (screen_left + screen_right) x fov in radians / width, and likewise for y, as the
// tangent of the angle one pixel subtends. Our engine hands over pbrt's window (the shorter axis
// spanning [-1, 1] in units of tan(fov / 2)) times tan(fov / 2) / fov, so that product is a
// pixel's width on the image plane at distance 1 (about 0.5 per unit of pbrt's window).
struct qorCamera {
  float world_from_camera[12];  // 0: row-major 3x4; camera space is left-handed, +z forward
  float fov;                    // 48: degrees, on the shorter image axis
  int32_t width;                // 52: image width in pixels
  int32_t height;               // 56: image height in pixels
  float lens_radius;            // 60: 0 for a pinhole
  float focal_distance;         // 64
  uint8_t reserved_68[4];       // 68
  qorShader* emission_shader;   // 72: module: a camera that emits photons has a shader; null here
  float near_clip;              // 80: rays start this far from the camera
  float far_clip;               // 84
  uint8_t reserved_88[8];       // 88
  float screen_left;            // 96: module
  float screen_right;           // 100: module
  float screen_bottom;          // 104: module
  float screen_top;             // 108: module
};
static_assert(offsetof(qorCamera, emission_shader) == 72);
static_assert(offsetof(qorCamera, screen_left) == 96);
static_assert(offsetof(qorCamera, screen_right) == 100);
static_assert(offsetof(qorCamera, screen_bottom) == 104);
static_assert(offsetof(qorCamera, screen_top) == 108);

// The view record, qor_info(scene, qor_info_view): where the camera stands.
struct qorView {
  double camera_from_world[12];  // 0: row-major 3x4
  double camera_position[3];     // 96: module: world-space position of the camera
};
static_assert(offsetof(qorView, camera_position) == 96);

// Ray types, as qor_get_primary_ray and qorRay::new_ray take them.
enum : uint32_t {
  qor_ray_camera = 1,
  qor_ray_diffuse = 8,            // a diffuse continuation of a camera ray
  qor_ray_light = 16,             // a shadow ray towards a light
  qor_ray_photon = 256,           // a photon on its first segment from the emitter
  qor_ray_photon_specular = 512,  // a photon that left a specular bounce (engine's own type)
  qor_ray_photon_diffuse = 2048,  // a photon that left a diffuse bounce
};

// Ray flag bits (qorRay::flags).
enum : uint32_t {
  qor_flag_caustic = 0x800,  // the photon met only specular surfaces since it left the emitter
};

// A ray and, after a hit, the surface it hit. Rays come from qor_get_primary_ray and
// qorRay::new_ray only; the engine allocates a larger record of its own around this one.
struct qorRay {
  double origin[3];            // 0: module
  double min_distance;         // 24: module: hits closer than this are ignored
  double direction[3];         // 32: module: unit length
  double max_distance;         // 56: module: hits farther than this are ignored; after a hit, the
                               //     distance from the origin to the hit
  qorThread* thread;           // 64: module: the per-thread context the ray belongs to
  qorRay* parent;              // 72: module: the ray this one continues (the photon's last segment)
  uint32_t type;               // 80: module: one of the qor_ray_* types
  uint32_t flags;              // 84: module: qor_flag_* bits; the photon tracer keeps 0x1100 set
  int32_t depth;               // 88: module: 0 for a camera ray, +1 per continuation
  float weight;                // 92: module: weight of the ray's sample (Fresnel and mirror factors
                               //     multiply it along a camera path)
  float emission_scale;        // 96: module: set to 1 with weight on the emitter query ray; scales
                               //     the emission the engine's shaders report for this ray
  uint8_t reserved_100[8];     // 100
  uint8_t result_flags;        // 108: module: bit 0 set by the engine when the traced radiance must
                               //      be discarded (the path was cut short)
  uint8_t reserved_109[3];     // 109
  float medium_ior;            // 112: module: index of refraction of the medium the ray travels in
  uint8_t reserved_116[12];    // 116
  qorMaterial* material;       // 128: module: material at the hit
  double hit_position[3];      // 136: module: world-space hit point
  double shading_normal[3];    // 160: module: faces the side the ray came from
  double geometric_normal[3];  // 184: module: faces the side the ray came from
  double uv[2];                // 208: surface parameters at the hit
  qorObject* emitter_object;   // 224: module: the emissive object a photon leaves from, or null
  qorObject* origin_object;    // 232: module: set with emitter_object; the object the ray starts on
  uint32_t geometry_id;        // 240: the engine's geometry at the hit
  uint32_t primitive_id;       // 244: the primitive of that geometry
  uint8_t reserved_248[8];     // 248
  float surface_offset;        // 256: module: how far off a surface a ray leaving it must start
  uint8_t reserved_260[4];     // 260
  double path_length;          // 264: distance travelled from the camera before this segment
  qorLight* current_light;     // 272: module: the light being evaluated or emitting, or null
  void* medium;                // 280: module: the medium the ray travels in (a material), or null
  uint8_t reserved_288[8];     // 288
  double tangent[3];           // 296: module: written by modules that build a frame at the hit
  double bitangent[3];         // 320: module
  float differential_x[3];     // 344: module: hit-position change for one pixel step in x, valid
  float differential_y[3];     // 356: module: after compute_ray_differentials; same for y

  // Calls into the host (engine) for this ray.
  qorRay* new_ray(uint32_t type);  // a child ray on the same thread, parent = this
  void delete_ray();               // releases this ray
  bool intersect();                // true when something lies within [min, max] distance
  // Traces the camera ray through raster point (x + dx, y + dy) and shades it; false on a miss.
  bool trace_primary(float color[3], int x, int y, float dx, float dy);
  // Traces this (diffuse continuation) ray and shades its hit into result; false on a miss.
  bool trace_diffuse(float result[3]);
  void compute_ray_differentials();
};
static_assert(offsetof(qorRay, origin) == 0);
static_assert(offsetof(qorRay, min_distance) == 24);
static_assert(offsetof(qorRay, direction) == 32);
static_assert(offsetof(qorRay, max_distance) == 56);
static_assert(offsetof(qorRay, thread) == 64);
static_assert(offsetof(qorRay, parent) == 72);
static_assert(offsetof(qorRay, type) == 80);
static_assert(offsetof(qorRay, flags) == 84);
static_assert(offsetof(qorRay, depth) == 88);
static_assert(offsetof(qorRay, weight) == 92);
static_assert(offsetof(qorRay, emission_scale) == 96);
static_assert(offsetof(qorRay, result_flags) == 108);
static_assert(offsetof(qorRay, medium_ior) == 112);
static_assert(offsetof(qorRay, material) == 128);
static_assert(offsetof(qorRay, hit_position) == 136);
static_assert(offsetof(qorRay, shading_normal) == 160);
static_assert(offsetof(qorRay, geometric_normal) == 184);
static_assert(offsetof(qorRay, emitter_object) == 224);
static_assert(offsetof(qorRay, origin_object) == 232);
static_assert(offsetof(qorRay, surface_offset) == 256);
static_assert(offsetof(qorRay, current_light) == 272);
static_assert(offsetof(qorRay, medium) == 280);
static_assert(offsetof(qorRay, tangent) == 296);
static_assert(offsetof(qorRay, bitangent) == 320);
static_assert(offsetof(qorRay, differential_x) == 344);
static_assert(offsetof(qorRay, differential_y) == 356);
static_assert(sizeof(qorRay) == 368);

// Emission flag word of the thread context (qorThread::emission_flags).
enum : uint32_t {
  qor_emission_camera = 1,      // the job emits from the camera
  qor_emission_tracing = 3072,  // photon tracing has begun on this thread
};

// Per-thread storage: qor_tls_alloc hands out byte offsets into the storage area at the end of
// every thread context, so a module finds its block at (char*)thread + slot on any thread.
inline constexpr int qor_thread_storage_offset = 512;
inline constexpr int qor_thread_storage_bytes = 16384;

// The per-thread context (a ray's "thread block"). One per worker thread index, opened with
// qor_scene_thread_init and closed with qor_scene_thread_exit.
struct qorThread {
  qorRandom* random;            // 0: module: the source a shader draws from; a module may install
                                //    its own for the duration of its work
  qorRandom* random2;           // 8: module: the second source; the engine draws the path's
                                //    decisions that must not be replayed by a module's sampler
  int32_t pixel_x;              // 16: module: column of the camera sample being traced
  int32_t pixel_y;              // 20: module: row of the camera sample being traced
  int32_t iteration;            // 24: module: the renderer's current iteration
  uint32_t emission_flags;      // 28: module: qor_emission_* bits
  qorScene* scene;              // 32: the scene this context traces in
  void* light_context;          // 40: module: the host context handed to the lights' slot 4
  uint8_t reserved_48[32];      // 48
  uint8_t second_set_answered;  // 80: module: 1 when the indirect slot answered a continuation
  uint8_t emission_enabled;     // 81: module: 1 when shading adds the emission of the surface hit
  uint8_t reserved_82[14];      // 82
  int32_t thread_index;         // 96: module: 0 .. threads - 1
  uint8_t reserved_100[244];    // 100
  float direct_light[3];        // 344: module: the direct light found at the last camera hit
  uint8_t reserved_356[156];    // 356
  alignas(64) uint8_t storage[qor_thread_storage_bytes];  // 512: qor_tls_alloc slots
};
static_assert(offsetof(qorThread, random) == 0);
static_assert(offsetof(qorThread, random2) == 8);
static_assert(offsetof(qorThread, pixel_x) == 16);
static_assert(offsetof(qorThread, pixel_y) == 20);
static_assert(offsetof(qorThread, iteration) == 24);
static_assert(offsetof(qorThread, emission_flags) == 28);
static_assert(offsetof(qorThread, light_context) == 40);
static_assert(offsetof(qorThread, second_set_answered) == 80);
static_assert(offsetof(qorThread, emission_enabled) == 81);
static_assert(offsetof(qorThread, thread_index) == 96);
static_assert(offsetof(qorThread, direct_light) == 344);
static_assert(offsetof(qorThread, storage) == qor_thread_storage_offset);

// An input event, as qor_output_check_input delivers it.
struct qorOutput_event {
  uint32_t type;  // qor_event_*
  uint32_t key;   // for a key press, the key's character code
};
enum : uint32_t {
  qor_event_key = 1,
  qor_event_end = 4,  // the user asked the render to end
};

// An image block: a header of four integers, then width x height RGB triples of floats, row-major.
struct qorImage_block {
  int32_t x0;  // 0
  int32_t y0;  // 4
  int32_t width;
  int32_t height;

  float* pixels() { return reinterpret_cast<float*>(this + 1); }
  const float* pixels() const { return reinterpret_cast<const float*>(this + 1); }
  static constexpr size_t bytes(int w, int h) {
    return sizeof(qorImage_block) + size_t(12) * size_t(w) * size_t(h);
  }
};
static_assert(sizeof(qorImage_block) == 16);
