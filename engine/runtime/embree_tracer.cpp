#include "engine/runtime/embree_tracer.h"

#include <embree3/rtcore.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

static_assert(RTC_VERSION_MAJOR == 3, "the runtime is written against Embree 3");

namespace engine {

struct embree_tracer::state {
  std::function<void(const std::string&)> report;
  RTCDevice device = nullptr;
  RTCScene world = nullptr;
  std::vector<RTCScene> objects;
  uint32_t first_instance_id = 0;  // world geometry ids: shapes first, then the instances
};

namespace {

void on_device_error(void* user, RTCError code, const char* text) {
  auto* s = static_cast<embree_tracer::state*>(user);
  if (s->report) s->report("Embree error " + std::to_string(int(code)) + ": " + (text ? text : ""));
}

RTCScene new_scene(RTCDevice device) {
  RTCScene scene = rtcNewScene(device);
  // Robust traversal: no hit is lost between neighbouring triangles of a closed mesh, which
  // matters to photons that must not leak through a wall.
  rtcSetSceneFlags(scene, RTC_SCENE_FLAG_ROBUST);
  rtcSetSceneBuildQuality(scene, RTC_BUILD_QUALITY_HIGH);
  return scene;
}

void attach_shape(RTCDevice device, RTCScene scene, const shape& s, uint32_t id) {
  RTCGeometry geometry;
  if (s.kind == shape::kind_type::sphere) {
    geometry = rtcNewGeometry(device, RTC_GEOMETRY_TYPE_SPHERE_POINT);
    auto* point = static_cast<float*>(rtcSetNewGeometryBuffer(
        geometry, RTC_BUFFER_TYPE_VERTEX, 0, RTC_FORMAT_FLOAT4, 4 * sizeof(float), 1));
    point[0] = float(s.center.x);
    point[1] = float(s.center.y);
    point[2] = float(s.center.z);
    point[3] = float(s.radius);
  } else {
    const triangle_mesh& m = s.mesh;
    if (m.triangle_count() == 0 || m.positions.empty()) return;
    geometry = rtcNewGeometry(device, RTC_GEOMETRY_TYPE_TRIANGLE);
    auto* vertices = static_cast<float*>(
        rtcSetNewGeometryBuffer(geometry, RTC_BUFFER_TYPE_VERTEX, 0, RTC_FORMAT_FLOAT3,
                                3 * sizeof(float), m.positions.size()));
    for (size_t i = 0; i < m.positions.size(); ++i) {
      for (int c = 0; c < 3; ++c) vertices[3 * i + c] = m.positions[i][c];
    }
    auto* indices = static_cast<uint32_t*>(
        rtcSetNewGeometryBuffer(geometry, RTC_BUFFER_TYPE_INDEX, 0, RTC_FORMAT_UINT3,
                                3 * sizeof(uint32_t), m.triangle_count()));
    for (size_t i = 0; i < m.indices.size(); ++i) indices[i] = m.indices[i];
  }
  rtcCommitGeometry(geometry);
  rtcAttachGeometryByID(scene, geometry, id);
  rtcReleaseGeometry(geometry);
}

void set_ray(RTCRay& r, const ray_query& q) {
  r.org_x = float(q.origin.x);
  r.org_y = float(q.origin.y);
  r.org_z = float(q.origin.z);
  r.dir_x = float(q.direction.x);
  r.dir_y = float(q.direction.y);
  r.dir_z = float(q.direction.z);
  r.tnear = float(std::max(q.t_min, 0.0));
  r.tfar = q.t_max >= double(std::numeric_limits<float>::max())
               ? std::numeric_limits<float>::infinity()
               : float(q.t_max);
  r.time = 0;
  r.mask = 0xFFFFFFFFu;
  r.id = 0;
  r.flags = 0;
}

}  // namespace

embree_tracer::embree_tracer(const traceable_scene& scene,
                             std::function<void(const std::string&)> report)
    : state_(std::make_unique<state>()) {
  state_->report = std::move(report);
#if defined(__SANITIZE_THREAD__)
  // Embree builds with worker threads of an uninstrumented TBB, whose hand-overs the race
  // detector cannot see; build on the calling thread so that it sees the whole life of the BVH.
  const char* config = "threads=1";
#else
  const char* config = nullptr;
#endif
  state_->device = rtcNewDevice(config);
  if (state_->device == nullptr) {
    throw std::runtime_error("cannot create the Embree device (error " +
                             std::to_string(int(rtcGetDeviceError(nullptr))) + ")");
  }
  rtcSetDeviceErrorFunction(state_->device, on_device_error, state_.get());
  if (rtcGetDeviceProperty(state_->device, RTC_DEVICE_PROPERTY_POINT_GEOMETRY_SUPPORTED) == 0) {
    throw std::runtime_error("this Embree library was built without sphere (point) geometry");
  }

  for (const scene_object& object : scene.objects) {
    RTCScene object_scene = new_scene(state_->device);
    for (uint32_t i = 0; i < object.shapes.size(); ++i) {
      attach_shape(state_->device, object_scene, object.shapes[i], i);
    }
    rtcCommitScene(object_scene);
    state_->objects.push_back(object_scene);
  }

  state_->world = new_scene(state_->device);
  for (uint32_t i = 0; i < scene.shapes.size(); ++i) {
    attach_shape(state_->device, state_->world, scene.shapes[i], i);
  }
  state_->first_instance_id = uint32_t(scene.shapes.size());
  for (uint32_t k = 0; k < scene.instances.size(); ++k) {
    const object_instance& inst = scene.instances[k];
    RTCGeometry geometry = rtcNewGeometry(state_->device, RTC_GEOMETRY_TYPE_INSTANCE);
    rtcSetGeometryInstancedScene(geometry, state_->objects[inst.object]);
    rtcSetGeometryTimeStepCount(geometry, 1);
    float m[12];
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 4; ++c) m[4 * r + c] = float(inst.world_from_object.m[r][c]);
    rtcSetGeometryTransform(geometry, 0, RTC_FORMAT_FLOAT3X4_ROW_MAJOR, m);
    rtcCommitGeometry(geometry);
    rtcAttachGeometryByID(state_->world, geometry, state_->first_instance_id + k);
    rtcReleaseGeometry(geometry);
  }
  rtcCommitScene(state_->world);
}

embree_tracer::~embree_tracer() {
  if (state_->world) rtcReleaseScene(state_->world);
  for (RTCScene s : state_->objects) rtcReleaseScene(s);
  if (state_->device) rtcReleaseDevice(state_->device);
}

void* embree_tracer::native_scene() const {
  return state_->world;
}

std::optional<raw_hit> embree_tracer::intersect(const ray_query& ray) const {
  RTCIntersectContext context;
  rtcInitIntersectContext(&context);
  RTCRayHit rh;
  set_ray(rh.ray, ray);
  rh.hit.geomID = RTC_INVALID_GEOMETRY_ID;
  rh.hit.instID[0] = RTC_INVALID_GEOMETRY_ID;
  rtcIntersect1(state_->world, &context, &rh);
  if (rh.hit.geomID == RTC_INVALID_GEOMETRY_ID) return std::nullopt;
  raw_hit hit;
  hit.t = rh.ray.tfar;
  if (rh.hit.instID[0] != RTC_INVALID_GEOMETRY_ID) {
    hit.instance = int32_t(rh.hit.instID[0] - state_->first_instance_id);
  }
  hit.shape = rh.hit.geomID;
  hit.primitive = rh.hit.primID;
  hit.u = rh.hit.u;
  hit.v = rh.hit.v;
  return hit;
}

bool embree_tracer::occluded(const ray_query& ray) const {
  RTCIntersectContext context;
  rtcInitIntersectContext(&context);
  RTCRay r;
  set_ray(r, ray);
  rtcOccluded1(state_->world, &context, &r);
  // Embree marks an occluded ray by setting tfar to -inf.
  return r.tfar == -std::numeric_limits<float>::infinity();
}

}  // namespace engine
