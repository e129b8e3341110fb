// Each kind of malformed input stops the parse with an error at the token at fault; each kind of
// unsupported input gives one warning where it is and the parse goes on.
#include <zlib.h>

#include "scene_test_util.h"

namespace qor::scene {
namespace {

using testing::expect_error_at_token;
using testing::parse;
using testing::parse_error;
using testing::parse_world;

TEST(scene_errors, message_format_is_file_line_column_error) {
  scene_error e = parse_error("WorldBegin\n  Frobnicate\n");
  EXPECT_STREQ(e.what(),
               "test.pbrt:2:3: error: expected a directive (Shape, Material, AttributeBegin, ...), "
               "found 'Frobnicate'");
}

TEST(scene_errors, unterminated_string) {
  expect_error_at_token("WorldBegin\nShape \"sphere\" \"float radius 1\n", "\"float",
                        "expected '\"' to end the string, found end of line");
  expect_error_at_token("WorldBegin\nShape \"sph", "\"sph",
                        "expected '\"' to end the string, found end of file");
  expect_error_at_token("WorldBegin\nShape \"a\\qb\"\n", "\\q", "expected an escape sequence");
}

TEST(scene_errors, unbalanced_brackets) {
  // An unclosed list is reported at its '[' and names what interrupted it.
  std::string unclosed =
      "WorldBegin\nShape \"trianglemesh\" \"point3 P\" [ 0 0 0  1 0 0  0 1 0\nAttributeEnd\n";
  scene_error e = expect_error_at_token(unclosed, "[", "expected ']' to close the '['");
  EXPECT_NE(std::string(e.what()).find("found 'AttributeEnd' at line 3, column 1"),
            std::string::npos)
      << e.what();
  expect_error_at_token("WorldBegin\nShape \"sphere\" \"float radius\" [ 1", "[",
                        "found end of file");
  expect_error_at_token("WorldBegin\nShape \"sphere\"\n  ]\n", "]",
                        "expected a directive (Shape, Material, AttributeBegin, ...), found ']'");
  expect_error_at_token("WorldBegin\nShape \"sphere\" \"float radius\" [ [ 1 ] ]\n", "[ 1",
                        "expected a value or ']'");
  expect_error_at_token(
      "WorldBegin\nTransform [ 1 0 0 0  0 1 0 0  0 0 1 0  0 0 0 1 \nShape \"sphere\"", "Shape",
      "expected ']' after the 16 numbers of Transform, found 'Shape'");
}

TEST(scene_errors, unknown_parameter_type) {
  expect_error_at_token("WorldBegin\nShape \"sphere\" \"flaot radius\" 1\n", "\"flaot",
                        "expected a parameter type (integer, float, ");
  expect_error_at_token("WorldBegin\nShape \"sphere\" \"radius\" 1\n", "\"radius\"",
                        "expected a parameter declaration \"type name\", found \"radius\"");
}

TEST(scene_errors, value_of_the_wrong_type) {
  expect_error_at_token("WorldBegin\nShape \"sphere\" \"float radius\" \"one\"\n", "\"one\"",
                        "expected a number for \"float radius\", found \"one\"");
  expect_error_at_token("Film \"rgb\" \"integer xresolution\" [ 1.5 ]\n", "1.5",
                        "expected an integer between");
  expect_error_at_token("WorldBegin\nAreaLightSource \"diffuse\" \"bool twosided\" \"maybe\"\n",
                        "\"maybe\"", "expected true or false for \"bool twosided\"");
  expect_error_at_token("WorldBegin\nShape \"plymesh\" \"string filename\" mesh.ply\n", "mesh.ply",
                        "expected a quoted string for \"string filename\", found 'mesh.ply'");
  // A parameter of the right name and the wrong type is an error where it is declared.
  expect_error_at_token("WorldBegin\nShape \"sphere\" \"string radius\" \"1\"\n",
                        "\"string radius\"", "expected \"float radius\"");
  expect_error_at_token("Camera \"perspective\" \"float fov\" [ 30 40 ]\n", "\"float fov\"",
                        "expected 1 value for \"float fov\", found 2");
  expect_error_at_token("Camera \"perspective\" \"float fov\" 200\n", "200",
                        "expected a field of view between 0 and 180 degrees, found 200");
  expect_error_at_token("LookAt 0 0 0 1 0 zero 0 1 0\n", "zero",
                        "expected a number after LookAt, found 'zero'");
}

TEST(scene_errors, list_length_not_a_multiple_of_the_type) {
  expect_error_at_token("WorldBegin\nShape \"trianglemesh\" \"point3 P\" [ 0 0 0  1 0 0  0 1 ]\n",
                        "\"point3 P\"",
                        "expected a multiple of 3 values for \"point3 P\", found 8");
  expect_error_at_token(
      "WorldBegin\nShape \"trianglemesh\" \"point3 P\" [ 0 0 0 1 0 0 0 1 0 ] \"point2 uv\" [ 0 0 1 "
      "]\n",
      "\"point2 uv\"", "expected a multiple of 2 values");
  expect_error_at_token(
      "WorldBegin\nShape \"trianglemesh\" \"point3 P\" [ 0 0 0 1 0 0 0 1 0 1 1 0 ]\n"
      "  \"integer indices\" [ 0 1 2 3 ]\n",
      "\"integer indices\"", "expected a multiple of 3 values for \"integer indices\", found 4");
}

TEST(scene_errors, index_outside_the_vertex_array) {
  expect_error_at_token(
      "WorldBegin\nShape \"trianglemesh\" \"point3 P\" [ 0 0 0  1 0 0  0 1 0 ]\n"
      "  \"integer indices\" [ 0 1 2  2 1 3 ]\n",
      "3 ]", "expected a vertex index from 0 to 2 in \"integer indices\", found 3");
  expect_error_at_token(
      "WorldBegin\nShape \"bilinearmesh\" \"point3 P\" [ 0 0 0  1 0 0  0 1 0  1 1 0 ]\n"
      "  \"integer indices\" [ 0 1 -1 3 ]\n",
      "-1", "expected a vertex index from 0 to 3");
}

TEST(scene_errors, missing_include_or_ply_file) {
  expect_error_at_token("WorldBegin\nInclude \"missing.pbrt\"\n", "\"missing",
                        "expected the included file at \"missing.pbrt\", found no readable file");
  expect_error_at_token("WorldBegin\nShape \"plymesh\" \"string filename\" \"gone.ply\"\n",
                        "\"gone.ply\"",
                        "expected the PLY file at \"gone.ply\", found no readable file");
  // Inside an included file, the error points into that file.
  scene_error e = parse_error("WorldBegin\nInclude \"sub/a.pbrt\"\n",
                              {{"sub/a.pbrt", "\n  Include \"b.pbrt\"\n"}});
  EXPECT_ERROR_AT(e, "sub/a.pbrt", 2, 11, "\"sub/b.pbrt\" or \"b.pbrt\"");
}

TEST(scene_errors, truncated_or_inconsistent_ply_file) {
  std::string header =
      "ply\nformat binary_little_endian 1.0\nelement vertex 3\nproperty float x\n"
      "property float y\nproperty float z\nelement face 1\nproperty list uchar int "
      "vertex_indices\nend_header\n";
  std::string body(36, '\0');  // three vertices at the origin
  std::string face = std::string("\x03", 1) + std::string(12, '\0');
  std::string scene = "WorldBegin\nShape \"plymesh\" \"string filename\" \"m.ply\"\n";
  // Cut inside the face: the error is in the PLY file, on the line after its header.
  scene_error truncated = parse_error(scene, {{"m.ply", header + body + face.substr(0, 7)}});
  EXPECT_ERROR_AT(truncated, "m.ply", 10, 1, "found end of file at byte 41 of the data");
  // A header that claims more than the file can hold fails before reading, at its element line.
  std::string greedy = header;
  greedy.replace(greedy.find("vertex 3"), 8, "vertex 3000000");
  scene_error claimed = parse_error(scene, {{"m.ply", greedy + body + face}});
  EXPECT_ERROR_AT(claimed, "m.ply", 3, 1, "is the file truncated?");
  // A face naming a vertex the file does not have.
  std::string bad_face =
      std::string("\x03", 1) + std::string(8, '\0') + std::string("\x07\0\0\0", 4);
  scene_error index = parse_error(scene, {{"m.ply", header + body + bad_face}});
  EXPECT_ERROR_AT(index, "m.ply", 10, 1,
                  "expected vertex indices from 0 to 2 in face 0 of 1, found 7");
}

TEST(scene_errors, attribute_end_without_attribute_begin) {
  expect_error_at_token(
      "WorldBegin\nAttributeBegin\nAttributeEnd\nAttributeEnd\n", "AttributeEnd",
      "expected AttributeBegin before this AttributeEnd, found no open AttributeBegin", 1);
  expect_error_at_token("WorldBegin\nAttributeBegin\nTransformEnd\n", "TransformEnd",
                        "expected AttributeEnd to close the AttributeBegin at test.pbrt:2:1, found "
                        "TransformEnd");
  expect_error_at_token("WorldBegin\nObjectEnd\n", "ObjectEnd",
                        "expected ObjectBegin before this ObjectEnd");
  // An AttributeBegin still open at the end is reported where it was opened.
  expect_error_at_token("WorldBegin\nAttributeBegin\nAttributeBegin\nAttributeEnd\n",
                        "AttributeBegin",
                        "expected AttributeEnd to close this AttributeBegin, "
                        "found end of file");
  // An imported file cannot close what its includer opened.
  scene_error e = parse_error("WorldBegin\nAttributeBegin\nImport \"i.pbrt\"\nAttributeEnd\n",
                              {{"i.pbrt", "AttributeEnd\n"}});
  EXPECT_ERROR_AT(e, "i.pbrt", 1, 1, "before this AttributeEnd, found no open AttributeBegin");
}

TEST(scene_errors, option_directive_after_world_begin) {
  for (const char* directive :
       {"Camera \"perspective\"", "Film \"rgb\"", "Sampler \"halton\"", "Integrator \"sppm\"",
        "PixelFilter \"box\"", "Accelerator \"bvh\"", "WorldBegin"}) {
    std::string text = "WorldBegin\nShape \"sphere\"\n" + std::string(directive) + "\n";
    int occurrence = std::string(directive) == "WorldBegin" ? 1 : 0;
    expect_error_at_token(text, directive,
                          "before WorldBegin, found it after the WorldBegin at test.pbrt:1:1",
                          occurrence);
  }
}

TEST(scene_errors, world_directive_before_world_begin) {
  for (const char* directive :
       {"Shape \"sphere\"", "LightSource \"point\"", "AreaLightSource \"diffuse\"",
        "Material \"diffuse\"", "NamedMaterial \"m\"", "ObjectBegin \"o\""}) {
    std::string text = "Film \"rgb\"\n" + std::string(directive) + "\nWorldBegin\n";
    expect_error_at_token(text, directive, "expected WorldBegin before");
  }
}

TEST(scene_errors, non_finite_numbers) {
  expect_error_at_token("Translate 1e999 0 0\n", "1e999",
                        "expected a finite number, found '1e999'");
  expect_error_at_token("WorldBegin\nShape \"sphere\" \"float radius\" nan\n", "nan",
                        "expected a number for \"float radius\", found 'nan'");
  expect_error_at_token("WorldBegin\nShape \"sphere\" \"float radius\" [ -inf ]\n", "-inf",
                        "expected a finite number, found '-inf'");
  expect_error_at_token("WorldBegin\nShape \"sphere\" \"float radius\" [ nan ]\n", "nan",
                        "expected a number for \"float radius\", found 'nan'");
  // Beyond single precision counts as infinite, as pbrt computes in floats.
  expect_error_at_token("Scale 1 1e39 1\n", "1e39", "expected a finite number");
  // Finite numbers whose product overflows are caught where they are used.
  expect_error_at_token(
      "WorldBegin\nScale 1e38 1e38 1e38\nScale 1e38 1e38 1e38\nShape \"trianglemesh\" \"point3 P\" "
      "[1 0 0 0 1 0 0 0 1]\n",
      "Shape", "expected finite vertex positions after transformation");
}

TEST(scene_errors, references_to_undefined_names_and_degenerate_transforms) {
  expect_error_at_token(
      "WorldBegin\nObjectInstance \"ghost\"\n", "ObjectInstance",
      "expected an object defined by ObjectBegin \"ghost\", found no such object");
  expect_error_at_token("WorldBegin\nNamedMaterial \"ghost\"\nShape \"sphere\"\n", "NamedMaterial",
                        "expected a material defined by MakeNamedMaterial \"ghost\"");
  expect_error_at_token(
      "WorldBegin\nMakeNamedMaterial \"m\" \"string type\" \"diffuse\"\n"
      "MakeNamedMaterial \"m\" \"string type\" \"diffuse\"\n",
      "MakeNamedMaterial", "found a second (the first at test.pbrt:2:1)", 1);
  expect_error_at_token("LookAt 0 0 0  0 0 0  0 1 0\n", "LookAt",
                        "expected LookAt's eye and target to be distinct points");
  expect_error_at_token("LookAt 0 0 0  0 1 0  0 2 0\n", "LookAt",
                        "expected an up vector that is not parallel to the viewing direction");
  expect_error_at_token("WorldBegin\nRotate 10 0 0 0\n", "Rotate",
                        "expected a non-zero rotation axis");
  expect_error_at_token("WorldBegin\nScale 1 0 1\nShape \"sphere\"\n", "Shape",
                        "expected an invertible transformation at Shape");
  expect_error_at_token("WorldBegin\nShape \"sphere\" \"float radius\" -1\n", "-1",
                        "expected a positive \"radius\" for sphere, found -1");
  expect_error_at_token(
      "WorldBegin\nShape \"trianglemesh\" \"point3 P\" [0 0 0 1 0 0 0 1 0 1 1 1]\n", "Shape",
      "expected \"integer indices\" for trianglemesh with 4 vertices");
  expect_error_at_token("WorldBegin\nObjectBegin \"a\"\nObjectInstance \"a\"\n", "ObjectInstance",
                        "found ObjectInstance inside it");
}

TEST(scene_errors, include_nesting_is_bounded) {
  scene_error e = parse_error("WorldBegin\nInclude \"self.pbrt\"\n",
                              {{"self.pbrt", "Include \"self.pbrt\"\n"}});
  EXPECT_EQ(e.location().file, "self.pbrt");
  EXPECT_NE(std::string(e.what()).find("nested at most 32 files deep"), std::string::npos);
}

// ---- warnings

void expect_one_warning_at(const parse_result& r, int line, int column,
                           const std::string& fragment) {
  ASSERT_EQ(r.warnings.size(), 1u);
  EXPECT_EQ(r.warnings[0].location.line, line) << to_string(r.warnings[0]);
  EXPECT_EQ(r.warnings[0].location.column, column) << to_string(r.warnings[0]);
  EXPECT_NE(r.warnings[0].message.find(fragment), std::string::npos) << to_string(r.warnings[0]);
}

TEST(scene_warnings, unsupported_types_warn_once_each_and_are_skipped) {
  parse_result curve = parse_world(
      "Shape \"curve\" \"point3 P\" [0 0 0 1 1 1 2 2 2 3 3 3] \"float width\" 0.1\n"
      "Shape \"sphere\"\n");
  expect_one_warning_at(curve, 2, 1, "shape \"curve\" is not supported");
  EXPECT_EQ(curve.scene.shapes.size(), 1u);

  parse_result light = parse_world("LightSource \"infinite\" \"rgb L\" [1 1 1]\n");
  expect_one_warning_at(light, 2, 1, "light \"infinite\" is not supported");
  EXPECT_TRUE(light.scene.lights.empty());

  parse_result material =
      parse_world("Material \"hair\" \"float eumelanin\" 1\nShape \"sphere\"\n");
  expect_one_warning_at(material, 2, 1, "material \"hair\" is not supported");
  EXPECT_EQ(material.scene.materials.back().type, material_type::diffuse);

  parse_result texture = parse_world(
      "Texture \"checks\" \"spectrum\" \"checkerboard\" \"float uscale\" 4\n"
      "Material \"diffuse\" \"texture reflectance\" \"checks\"\n");
  ASSERT_EQ(texture.warnings.size(), 2u);
  EXPECT_EQ(texture.warnings[1].location.line, 3);
  EXPECT_EQ(texture.warnings[1].location.column, 20);
  EXPECT_FLOAT_EQ(texture.scene.materials.back().reflectance[1], 0.5f);

  parse_result integrator = parse("Integrator \"path\" \"integer maxdepth\" 9\nWorldBegin\n");
  expect_one_warning_at(integrator, 1, 1, "integrator \"path\" is not supported");

  parse_result old = parse(
      "SurfaceIntegrator \"whitted\" \"integer maxdepth\" [ 5 ]\nWorldBegin\n"
      "Shape \"sphere\"\n");
  expect_one_warning_at(old, 1, 1, "SurfaceIntegrator is a directive of an earlier pbrt version");
  EXPECT_EQ(old.scene.shapes.size(), 1u);

  parse_result medium = parse_world("MakeNamedMedium \"fog\" \"string type\" \"homogeneous\"\n");
  expect_one_warning_at(medium, 2, 1, "participating media are not supported");
}

TEST(scene_warnings, unknown_parameters_are_reported_at_their_own_location) {
  parse_result r = parse_world("Shape \"sphere\" \"float radius\" 2 \"float raduis\" 3\n");
  expect_one_warning_at(r, 2, 33, "parameter \"float raduis\" is not used by Shape \"sphere\"");
  EXPECT_FLOAT_EQ(r.scene.shapes[0].radius, 2);
  // Parameters of pbrt's own that have no counterpart here are reported the same way.
  parse_result sampler = parse(
      "Sampler \"halton\" \"integer pixelsamples\" 4 \"integer seed\" 7\n"
      "PixelFilter \"box\" \"float xradius\" 1\nWorldBegin\n");
  ASSERT_EQ(sampler.warnings.size(), 2u);
  EXPECT_EQ(sampler.warnings[0].location.column, 43);
  EXPECT_NE(sampler.warnings[0].message.find("\"integer seed\""), std::string::npos);
  EXPECT_EQ(sampler.warnings[1].location.line, 2);
  EXPECT_EQ(sampler.scene.settings.iterations, 4);
}

TEST(scene_warnings, approximations_say_what_they_do) {
  parse_result rough = parse_world("Material \"dielectric\" \"float roughness\" 0.2\n");
  expect_one_warning_at(rough, 2, 1, "rendered smooth");
  parse_result smooth = parse_world("Material \"dielectric\" \"float roughness\" 0\n");
  EXPECT_TRUE(smooth.warnings.empty());
  parse_result iterations = parse("Integrator \"sppm\" \"integer iterations\" 7\nWorldBegin\n");
  expect_one_warning_at(iterations, 1, 19, "has no \"iterations\" parameter");
  EXPECT_EQ(iterations.scene.settings.iterations, 7);
  parse_result alpha = parse_world("Shape \"sphere\" \"float alpha\" 0.5\n");
  expect_one_warning_at(alpha, 2, 16, "alpha cut-outs are not supported");
}

}  // namespace
}  // namespace qor::scene
