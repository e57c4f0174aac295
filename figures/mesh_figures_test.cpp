// The figures against meshoptimizer's own analysers, which define them: made-up meshes
// that reach every corner of the rasteriser, and real ones from Assimp's test models.
#include "figures/mesh_figures.h"

#include <gtest/gtest.h>

#ifdef QX_WITH_MESHOPTIMIZER
#include <assimp/Importer.hpp>
#include <assimp/postprocess.h>
#include <assimp/scene.h>
#include <meshoptimizer.h>

#include <cstdint>
#include <string>
#include <vector>

#include "testing/process.h"
#include "testing/temp_dir.h"

namespace qx::figures {
namespace {

struct TestMesh {
  std::string name;
  std::vector<float> positions;  // x, y, z per vertex
  std::vector<std::uint32_t> indices;
};

// A small deterministic generator, the same on every system.
struct Random {
  std::uint32_t state;
  std::uint32_t Next() { return state = state * 1664525u + 1013904223u; }
  float Unit() { return static_cast<float>(Next() >> 8) / 16777216.0f; }
};

// A bent grid whose triangles come in a shuffled order, some turned round: cache
// misses of every kind, both facings, and triangles smaller than a pixel.
TestMesh Grid(int side) {
  TestMesh mesh{"grid " + std::to_string(side), {}, {}};
  for (int y = 0; y <= side; ++y) {
    for (int x = 0; x <= side; ++x) {
      const float u = static_cast<float>(x) / side, v = static_cast<float>(y) / side;
      mesh.positions.insert(mesh.positions.end(), {u, v, 0.3f * u * v - 0.2f * u});
    }
  }
  Random random{7};
  for (int y = 0; y < side; ++y) {
    for (int x = 0; x < side; ++x) {
      const std::uint32_t a = y * (side + 1) + x, b = a + 1, c = a + side + 1, d = c + 1;
      mesh.indices.insert(mesh.indices.end(), {a, b, d, a, d, c});
    }
  }
  for (std::size_t t = mesh.indices.size() / 3; t > 1; --t) {
    const std::size_t other = random.Next() % t;
    for (int k = 0; k < 3; ++k) std::swap(mesh.indices[3 * (t - 1) + k], mesh.indices[3 * other + k]);
    if (random.Next() % 5 == 0) std::swap(mesh.indices[3 * (t - 1)], mesh.indices[3 * (t - 1) + 1]);
  }
  return mesh;
}

// Large triangles through one another in a box, corners shared at random: deep
// overdraw, depth tests won and lost, edges shared exactly (the fill rule), and
// triangles that name one vertex twice.
TestMesh Soup() {
  TestMesh mesh{"soup", {}, {}};
  Random random{42};
  for (int v = 0; v < 90; ++v) {
    mesh.positions.insert(mesh.positions.end(), {random.Unit() * 10 - 5, random.Unit() * 4, random.Unit() * 7});
  }
  for (int t = 0; t < 400; ++t) {
    for (int k = 0; k < 3; ++k) mesh.indices.push_back(random.Next() % 90);
  }
  return mesh;
}

// Flat in z: one view sees every triangle edge-on.
TestMesh Flat() {
  TestMesh mesh{"flat", {0, 0, 1, 4, 0, 1, 0, 3, 1, 4, 3, 1, 2, 1.5f, 1}, {0, 1, 4, 1, 3, 4, 3, 2, 4, 2, 0, 4, 0, 4, 1}};
  return mesh;
}

// The meshes of one of Assimp's test models, as the converter writes them.
std::vector<TestMesh> Model(const std::string& path) {
  Assimp::Importer importer;
  const aiScene* scene = importer.ReadFile(path, aiProcess_Triangulate | aiProcess_JoinIdenticalVertices |
                                                     aiProcess_SortByPType);
  std::vector<TestMesh> meshes;
  if (scene == nullptr) return meshes;
  for (unsigned m = 0; m < scene->mNumMeshes; ++m) {
    const aiMesh& source = *scene->mMeshes[m];
    if (source.mPrimitiveTypes != aiPrimitiveType_TRIANGLE) continue;
    TestMesh mesh{path + " mesh " + std::to_string(m), {}, {}};
    for (unsigned v = 0; v < source.mNumVertices; ++v) {
      mesh.positions.insert(mesh.positions.end(), {source.mVertices[v].x, source.mVertices[v].y, source.mVertices[v].z});
    }
    for (unsigned f = 0; f < source.mNumFaces; ++f) {
      mesh.indices.insert(mesh.indices.end(), source.mFaces[f].mIndices, source.mFaces[f].mIndices + 3);
    }
    meshes.push_back(std::move(mesh));
  }
  return meshes;
}

// Every count and ratio is the library's, bit for bit (cache: 16 entries, no warps,
// no primitive groups); a budget that cannot pay for the drawing gives no figures.
TEST(MeshFigures, AreMeshoptimizersOnMadeUpAndRealMeshes) {
  std::vector<TestMesh> meshes = {Grid(3), Grid(90), Soup(), Flat()};
  const std::string models = "/usr/share/assimp/models/";
  std::vector<std::string> real = {"OBJ/WusonOBJ.obj", "OBJ/spider.obj", "3DS/fels.3ds"};
  if (testing::Unavailable(testing::Need::kAssimpGltf) == nullptr) {
    real.push_back("glTF2/2CylinderEngine-glTF-Binary/2CylinderEngine.glb");
  }
  std::size_t realMeshes = 0;
  for (const std::string& model : real) {
    if (!testing::FileExists(models + model)) GTEST_SKIP() << "needs Debian's assimp-testmodels";
    for (TestMesh& mesh : Model(models + model)) {
      meshes.push_back(std::move(mesh));
      ++realMeshes;
    }
  }
  EXPECT_GE(realMeshes, 10u);

  for (const TestMesh& mesh : meshes) {
    SCOPED_TRACE(mesh.name);
    const std::size_t vertices = mesh.positions.size() / 3;
    const auto cache = meshopt_analyzeVertexCache(mesh.indices.data(), mesh.indices.size(), vertices, 16, 0, 0);
    CacheFigures ours;
    ASSERT_TRUE(MeasureCache(mesh.indices.data(), mesh.indices.size(), vertices, &ours));
    EXPECT_EQ(ours.transformed, cache.vertices_transformed);
    EXPECT_EQ(ours.triangles, mesh.indices.size() / 3);
    EXPECT_EQ(ours.acmr, cache.acmr);
    EXPECT_EQ(ours.atvr, cache.atvr);

    const auto pixels = meshopt_analyzeOverdraw(mesh.indices.data(), mesh.indices.size(), mesh.positions.data(),
                                                vertices, 3 * sizeof(float));
    OverdrawFigures drawn;
    Budget budget = 1'000'000'000;
    ASSERT_TRUE(MeasureOverdraw(mesh.positions.data(), vertices, mesh.indices.data(), mesh.indices.size(), &drawn,
                                &budget));
    EXPECT_EQ(drawn.covered, pixels.pixels_covered);
    EXPECT_EQ(drawn.shaded, pixels.pixels_shaded);
    EXPECT_EQ(drawn.overdraw, pixels.overdraw);

    // Exactly what it spent is enough; a step less is not.
    Budget exact = 1'000'000'000 - budget;
    EXPECT_TRUE(MeasureOverdraw(mesh.positions.data(), vertices, mesh.indices.data(), mesh.indices.size(), &drawn,
                                &exact));
    Budget tooLittle = 1'000'000'000 - budget - 1;
    EXPECT_FALSE(MeasureOverdraw(mesh.positions.data(), vertices, mesh.indices.data(), mesh.indices.size(), &drawn,
                                 &tooLittle));
  }
  // An index past the vertices is refused, not read.
  const std::uint32_t bad[] = {0, 1, 3};
  const float three[] = {0, 0, 0, 1, 0, 0, 0, 1, 0};
  CacheFigures cache;
  OverdrawFigures drawn;
  EXPECT_FALSE(MeasureCache(bad, 3, 3, &cache));
  EXPECT_FALSE(MeasureOverdraw(three, 3, bad, 3, &drawn));
}

}  // namespace
}  // namespace qx::figures

#endif
