// Each kind of malformed input stops the parse with an error at the token at fault; each kind of
// unsupported input gives one warning where it is and the parse goes on.
#include "tests/engine/scene_test_util.h"

namespace qor::scene {
namespace {

using testing::error_of;
using testing::expect_error;
using testing::parse;

// The error must point at the token after the '^' in the text. Faults that a file of
// data/malformed/ pins to its place are not repeated here.
struct error_case {
  const char* marked_text;
  const char* message;
};

// Parsed as they are.
const error_case option_errors[] = {
    {"Film \"rgb\" \"integer xresolution\" [ ^1.5 ]", "expected an integer between"},
    {"Camera \"perspective\" ^\"float fov\" [ 30 40 ]",
     "expected 1 value for \"float fov\", found 2"},
    {"Camera \"perspective\" \"float fov\" ^200",
     "expected a field of view between 0 and 180 degrees, found 200"},
    {"LookAt 0 0 0 1 0 ^zero 0 1 0", "expected a number after LookAt, found 'zero'"},
    {"^LookAt 0 0 0  0 0 0  0 1 0", "expected LookAt's eye and target to be distinct points"},
    {"^LookAt 0 0 0  0 1 0  0 2 0",
     "expected an up vector that is not parallel to the viewing direction"},
    {"Integrator \"sppm\" \"integer photonsperiteration\" ^-5",
     "expected a positive \"photonsperiteration\""},
    {"Integrator \"sppm\" \"float radius\" ^0", "expected a positive finite \"radius\""},
    // Numbers beyond single precision count as infinite, as pbrt computes in floats.
    {"Scale 1 ^1e39 1", "expected a finite number"},
};

// Parsed after WorldBegin.
const error_case world_errors[] = {
    // Strings and lists.
    {"Shape ^\"sph", "expected '\"' to end the string, found end of file"},
    {"Shape \"a^\\qb\"", "expected an escape sequence"},
    {"Shape \"sphere\"\n  ^]",
     "expected a directive (Shape, Material, AttributeBegin, ...), found ']'"},
    {"Shape \"sphere\" \"float radius\" [ ^[ 1 ] ]", "expected a value or ']'"},
    {"Transform [ 1 0 0 0  0 1 0 0  0 0 1 0  0 0 0 1 \n^Shape \"sphere\"",
     "expected ']' after the 16 numbers of Transform, found 'Shape'"},
    // Parameter declarations and values.
    {"Shape \"sphere\" ^\"radius\" 1",
     "expected a parameter declaration \"type name\", found \"radius\""},
    {"Shape \"sphere\" \"float radius\" ^nan",
     "expected a number for \"float radius\", found 'nan'"},
    {"AreaLightSource \"diffuse\" \"bool twosided\" ^\"maybe\"",
     "expected true or false for \"bool twosided\""},
    {"Shape \"plymesh\" \"string filename\" ^mesh.ply",
     "expected a quoted string for \"string filename\", found 'mesh.ply'"},
    // The right name with the wrong type is an error where it is declared.
    {"Shape \"sphere\" ^\"string radius\" \"1\"", "expected \"float radius\""},
    {"Shape \"trianglemesh\" \"point3 P\" [ 0 0 0 1 0 0 0 1 0 ] ^\"point2 uv\" [ 0 0 1 ]",
     "expected a multiple of 2 values"},
    {"Shape \"trianglemesh\" \"point3 P\" [ 0 0 0 1 0 0 0 1 0 1 1 0 ] ^\"integer indices\" [0 1 2 "
     "3]",
     "expected a multiple of 3 values for \"integer indices\", found 4"},
    {"Shape \"bilinearmesh\" \"point3 P\" [ 0 0 0  1 0 0  0 1 0  1 1 0 ] \"integer indices\" [0 1 "
     "^-1 3]",
     "expected a vertex index from 0 to 3"},
    {"Material \"diffuse\" \"rgb reflectance\" [0.5 ^1.5 0.5]",
     "expected a reflectance between 0 and 1"},
    {"Material \"diffuse\" ^\"spectrum reflectance\" [400 0.5 500]",
     "expected (wavelength, value) pairs for \"spectrum reflectance\", found 3 numbers"},
    // Finite numbers whose product overflows are caught where they are used.
    {"Scale 1e38 1e38 1e38\nScale 1e38 1e38 1e38\n^Shape \"trianglemesh\" \"point3 P\" [1 0 0 0 1 "
     "0 0 0 1]",
     "expected finite vertex positions after transformation"},
    // Blocks.
    {"AttributeBegin\n^TransformEnd",
     "expected AttributeEnd to close the AttributeBegin at test.pbrt:2:1, found TransformEnd"},
    {"^ObjectEnd", "expected ObjectBegin before this ObjectEnd"},
    // References to undefined names, and degenerate transformations and shapes.
    {"^ObjectInstance \"ghost\"",
     "expected an object defined by ObjectBegin \"ghost\", found no such object"},
    {"^NamedMaterial \"ghost\"\nShape \"sphere\"",
     "expected a material defined by MakeNamedMaterial \"ghost\""},
    {"MakeNamedMaterial \"m\" \"string type\" \"diffuse\"\n^MakeNamedMaterial \"m\" \"string "
     "type\" \"diffuse\"",
     "found a second (the first at test.pbrt:2:1)"},
    {"ObjectBegin \"a\"\n^ObjectInstance \"a\"", "found ObjectInstance inside it"},
    {"^Rotate 10 0 0 0", "expected a non-zero rotation axis"},
    {"Scale 1 0 1\n^Shape \"sphere\"", "expected an invertible transformation at Shape"},
    {"Shape \"sphere\" \"float radius\" ^-1",
     "expected a positive \"radius\" for sphere, found -1"},
    {"^Shape \"trianglemesh\" \"point3 P\" [0 0 0 1 0 0 0 1 0 1 1 1]",
     "expected \"integer indices\" for trianglemesh with 4 vertices"},
};

TEST(scene_errors, each_fault_is_reported_at_its_token) {
  for (const error_case& c : option_errors) {
    SCOPED_TRACE(c.marked_text);
    testing::expect_error_at_mark(c.marked_text, c.message);
  }
  for (const error_case& c : world_errors) {
    SCOPED_TRACE(c.marked_text);
    testing::expect_error_at_mark("WorldBegin\n" + std::string(c.marked_text), c.message);
  }
}

TEST(scene_errors, options_and_world_directives_on_the_wrong_side_of_world_begin) {
  for (std::string directive :
       {"Camera \"perspective\"", "Film \"rgb\"", "Sampler \"halton\"", "Integrator \"sppm\"",
        "PixelFilter \"box\"", "Accelerator \"bvh\"", "WorldBegin"}) {
    testing::expect_error_at_mark(
        "WorldBegin\nShape \"sphere\"\n^" + directive,
        "before WorldBegin, found it after the WorldBegin at test.pbrt:1:1");
  }
  for (std::string directive :
       {"Shape \"sphere\"", "LightSource \"point\"", "AreaLightSource \"diffuse\"",
        "Material \"diffuse\"", "NamedMaterial \"m\"", "ObjectBegin \"o\""}) {
    testing::expect_error_at_mark("Film \"rgb\"\n^" + directive + "\nWorldBegin",
                                  "expected WorldBegin before");
  }
}

TEST(scene_errors, in_an_included_file_the_error_points_into_that_file) {
  expect_error(
      error_of([] {
        parse("WorldBegin\nInclude \"sub/a.pbrt\"\n", {{"sub/a.pbrt", "\n  Include \"b.pbrt\"\n"}});
      }),
      "sub/a.pbrt:2:11", "\"sub/b.pbrt\" or \"b.pbrt\"");
  // An imported file cannot close what its includer opened.
  expect_error(error_of([] {
                 parse("WorldBegin\nAttributeBegin\nImport \"i.pbrt\"\nAttributeEnd\n",
                       {{"i.pbrt", "AttributeEnd\n"}});
               }),
               "i.pbrt:1:1", "before this AttributeEnd, found no open AttributeBegin");
}

// ---- warnings: each is one warning at its place, and the parse goes on.

struct warning_case {
  const char* marked_text;  // after WorldBegin when it has no WorldBegin of its own
  const char* message;
};

const warning_case warning_cases[] = {
    {"^Shape \"curve\" \"point3 P\" [0 0 0 1 1 1 2 2 2 3 3 3] \"float width\" 0.1\nShape "
     "\"sphere\"\n",
     "shape \"curve\" is not supported"},
    {"^LightSource \"goniometric\" \"rgb I\" [1 1 1]\n", "light \"goniometric\" is not supported"},
    {"^Material \"hair\" \"float eumelanin\" 1\nShape \"sphere\"\n",
     "material \"hair\" is not supported"},
    {"^Integrator \"path\" \"integer maxdepth\" 9\nWorldBegin\n",
     "integrator \"path\" is not supported"},
    {"^SurfaceIntegrator \"whitted\" \"integer maxdepth\" [ 5 ]\nWorldBegin\nShape \"sphere\"\n",
     "SurfaceIntegrator is a directive of an earlier pbrt version"},
    {"^MakeNamedMedium \"fog\" \"string type\" \"homogeneous\"\n",
     "participating media are not supported"},
    {"Shape \"sphere\" \"float radius\" 2 ^\"float raduis\" 3\n",
     "parameter \"float raduis\" is not used by Shape \"sphere\""},
    {"^Material \"matte\" \"float sigma\" 20\n", "rendered Lambertian"},
    {"Integrator \"sppm\" ^\"integer iterations\" 7\nWorldBegin\n",
     "has no \"iterations\" parameter"},
    {"Shape \"sphere\" ^\"float alpha\" 0.5\n", "alpha cut-outs are not supported"},
    {"Translate 1 0 0\n^CoordSysTransform \"nowhere\"\n", "\"nowhere\""},
    {"^ActiveTransform EndTime\nTranslate 5 0 0\nTranslate 5 0 0\nActiveTransform EndTime\n",
     "motion blur is not supported"},
    {"Shape \"trianglemesh\" \"point3 P\" [0 0 0 1 0 0 0 1 0] ^\"normal N\" [0 0 1]\n",
     "expected one normal per vertex (3)"},
    {"Integrator \"sppm\" ^\"integer maxdepth\" 9\nWorldBegin\n", "\"maxdepth\" is not used"},
    // pbrt's own parameters that have no counterpart here are reported the same way.
    {"Sampler \"halton\" \"integer pixelsamples\" 4 ^\"integer seed\" 7\nWorldBegin\n",
     "\"integer seed\""},
};

// The text of a warning case without its mark, with WorldBegin before it when it has none.
std::pair<std::string, std::string> unmarked(const warning_case& c) {
  std::string text = c.marked_text;
  if (text.find("WorldBegin") == std::string::npos) text = "WorldBegin\n" + text;
  return testing::unmark(text);
}

TEST(scene_warnings, unsupported_input_warns_once_where_it_is) {
  for (const warning_case& c : warning_cases) {
    SCOPED_TRACE(c.marked_text);
    auto [text, where] = unmarked(c);
    const testing::read_result r = testing::read(text);
    ASSERT_EQ(r.warnings.size(), 1u);
    EXPECT_EQ(to_string(r.warnings[0].location), where) << to_string(r.warnings[0]);
    EXPECT_NE(r.warnings[0].message.find(c.message), std::string::npos) << to_string(r.warnings[0]);
  }
}

TEST(scene_warnings, what_is_skipped_or_approximated_and_what_stays) {
  auto read = [](int i) { return testing::read(unmarked(warning_cases[i]).first); };
  EXPECT_EQ(read(0).scene.shapes.size(), 1u);  // the sphere only
  EXPECT_TRUE(read(1).made.lights.empty());
  EXPECT_STREQ(read(2).made.materials.back()->kind_name, "diffuse");
  EXPECT_FLOAT_EQ(read(2).made.materials.back()->diffuse_reflectance().g, 0.5f);
  EXPECT_FLOAT_EQ(read(6).scene.shapes[0].radius, 2);
  EXPECT_EQ(read(8).scene.settings.iterations, 7);
  EXPECT_TRUE(read(12).scene.shapes[0].normals.empty());
  EXPECT_TRUE(
      testing::read_world("Material \"dielectric\" \"float roughness\" 0\n").warnings.empty());
  // A texture is one warning where it is defined and one where it is used; the default stays.
  const testing::read_result texture = testing::read_world(
      "Texture \"checks\" \"spectrum\" \"wrinkled\" \"float uscale\" 4\n"
      "Material \"diffuse\" \"texture reflectance\" \"checks\"\n");
  ASSERT_EQ(texture.warnings.size(), 2u);
  EXPECT_EQ(to_string(texture.warnings[1].location), "test.pbrt:3:20");
  EXPECT_FLOAT_EQ(texture.made.materials.back()->diffuse_reflectance().g, 0.5f);
}

}  // namespace
}  // namespace qor::scene
