// Base classes the host and its modules share. Their virtual slot order is part of the interface:
// a derived class overrides in this order, and the host calls through these slots. Virtual
// destructors take two slots (complete, then deleting) where they are declared.
#pragma once

#include <cstdint>

#include "host/records.h"

// A source of random numbers in [0, 1]. The host installs its own in every thread context; a
// module may install one of its own instead. No virtual destructor: sources are never deleted
// through this interface.
class qorRandom {
 public:
  virtual float next_float() = 0;     // slot 0
  virtual void restart() = 0;         // slot 1: the next numbers begin a new path
  virtual void seed(uint32_t s) = 0;  // slot 2
};

// What a module registers to be created by the host (qor_register_dso_installer).
class qorInstaller {
 public:
  static constexpr uint32_t interface_version = 0x20008;  // major 2, minor 8

  virtual ~qorInstaller();           // slots 0, 1
  virtual uint32_t version() const;  // slot 2: the interface_version word
  virtual int return_type() const;   // slot 3: 0, an illumination renderer
  virtual int parameter_size() = 0;  // slot 4: bytes of the parameter block
  virtual void* default_parameters(qorScene& scene, void* block) = 0;  // slot 5
  virtual void* create(qorScene& scene, void* block) = 0;              // slot 6
  virtual const void* declaration() = 0;                               // slot 7
  virtual void* extension() = 0;                                       // slot 8
  virtual bool has_object_specific_data() const;                       // slot 9: false
  virtual uint32_t flags() const;                                      // slot 10: 0

  void* host_link = nullptr;  // the engine chains registered installers here
  uint32_t version_word = interface_version;
};

// An illumination renderer: the host calls these slots while it shades rays.
class qorIllum_api {
 public:
  // slot 0: direct light at a camera-ray hit; returns 1 when handled.
  virtual int direct_illumination(float result[3], qorRay& ray, void* light_context);
  // slot 1: indirect light at a camera-ray hit; returns 1 when handled.
  virtual int indirect_illumination(float result[3], qorRay& ray);
  virtual int locate_photons(qorRay& ray);  // slot 2
  // slot 3: the photon shader reports a photon of the given RGB power at the ray's hit.
  virtual void store_photon(const float power[3], qorRay& ray);
  virtual void init_frame(qorScene& scene);          // slot 4
  virtual void exit_frame(qorScene& scene);          // slot 5
  virtual void setup(qorScene& scene);               // slot 6: before each frame
  virtual void cleanup();                            // slot 7: after each frame
  virtual void build_photon_maps(qorScene& scene);   // slot 8
  virtual void delete_photon_maps(qorScene& scene);  // slot 9
  virtual void set_frame(int frame);                 // slot 10
  virtual ~qorIllum_api();                           // slots 11, 12
};

// Renders the image of a frame for an illumination renderer.
class qorImage_sampler {
 public:
  virtual const char* name() = 0;           // slot 0
  virtual int render(qorScene& scene) = 0;  // slot 1: returns the host's stop flag

  void* host_link = nullptr;  // the engine chains registered samplers here
};

// A unit of work for the host's task pool (qor_add_thread_task).
class qorTask {
 public:
  virtual ~qorTask();     // slots 0, 1
  virtual int run() = 0;  // slot 2: runs on a pool thread
  virtual void finish();  // slot 3: runs on the pool thread after run
};

// A light of the scene's light list, qor_info(scene, qor_info_lights).
class qorLight {
 public:
  virtual ~qorLight();              // slots 0, 1
  virtual int kind() const = 0;     // slot 2: the engine's light kind
  virtual float power() const = 0;  // slot 3: scalar power in watts
  // slot 4: adds this light's unshadowed contribution at the ray's hit to result, and leaves in
  // light_ray the shadow ray that qor_evaluate_shadows will test.
  virtual void add_direct_light(float result[3], qorRay& ray, qorRay& light_ray) = 0;

  qorMaterial* material = nullptr;  // 8: module: its shader emits the light's photons, or null
  qorObject* object = nullptr;      // 16: the emissive object of an area light, or null
  uint8_t reserved_24[8] = {};      // 24
  qorLight* next = nullptr;         // 32: module: the next light of the list, or null
};

// Where the module reads these objects' fields.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
static_assert(offsetof(qorInstaller, host_link) == 8);
static_assert(offsetof(qorInstaller, version_word) == 16);
static_assert(offsetof(qorImage_sampler, host_link) == 8);
static_assert(offsetof(qorLight, material) == 8);
static_assert(offsetof(qorLight, next) == 32);
#pragma GCC diagnostic pop
