// How well a triangle list suits the GPU, measured from the list itself: misses in the
// post-transform vertex cache and overdraw. The converter's report gives them before
// and after -optimize; QXInspect and the viewer page give them for any model. One
// implementation for all of them, in plain C++ with nothing behind it, so the page
// (WebAssembly) and builds without meshoptimizer (Windows) measure the same way.
//
// The figures are meshoptimizer's, to the bit: analyzeVertexCache with a 16-entry FIFO
// (no warps, no primitive groups) and analyzeOverdraw (three axis views of 256 x 256
// pixels, front and back faces apart). A test holds them against the library. Only
// inputs the library cannot take (indices past the vertices, non-finite positions)
// are defined here in their own way: nothing is measured, or such a triangle draws
// nothing.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qx::figures {

// Entries of the modelled cache, as GPUs' post-transform caches are commonly modelled.
inline constexpr unsigned kCacheSize = 16;

struct CacheFigures {
  std::uint64_t triangles = 0;
  std::uint64_t transformed = 0;  // vertex-shader runs: vertices not in the cache when a triangle needs them
  std::uint64_t vertices = 0;     // distinct vertices the triangles use
  float acmr = 0;                 // runs per triangle: 0.5 at best on large meshes, 3 at worst
  float atvr = 0;                 // runs per vertex used: 1 at best
};

struct OverdrawFigures {
  std::uint64_t covered = 0;  // pixels any triangle covers, over the three views, front and back apart
  std::uint64_t shaded = 0;   // pixels written: each time a triangle wins the depth test there
  float overdraw = 0;         // shaded per covered: 1 at best
};

// The figures of several meshes together, as bench/compare.py adds them up: ACMR is
// misses per triangle and ATVR per vertex used, over all meshes; overdraw is the
// meshes' own weighted by their triangles (each mesh is drawn at its own scale), known
// only when every mesh's was measured. Here, so that it too is the same bits everywhere.
class Totals {
 public:
  void Add(const CacheFigures& cache, const OverdrawFigures* overdraw);
  std::size_t meshes() const { return meshes_; }
  std::uint64_t triangles() const { return triangles_; }
  double acmr() const;
  double atvr() const;
  bool hasOverdraw() const { return overdrawKnown_; }
  double overdraw() const;

 private:
  std::size_t meshes_ = 0;
  std::uint64_t triangles_ = 0, transformed_ = 0, vertices_ = 0;
  double overdrawByTriangles_ = 0;
  bool overdrawKnown_ = true;
};

// Counts of pixel tests: each triangle costs its clipped bounding box in each view, and
// one step more. A budget bounds what a crafted file of many screen-filling triangles
// costs a viewer; the converter measures without one, as the library does.
using Budget = std::uint64_t;

// indices: three per triangle. False, and nothing measured, when the count is not a
// multiple of three or an index names no vertex.
bool MeasureCache(const std::uint32_t* indices, std::size_t indexCount, std::size_t vertexCount,
                  CacheFigures* figures);

// positions: x, y, z per vertex. False, and nothing measured, for the reasons above or
// when *budget (if not null) runs out; what was spent is taken from it.
bool MeasureOverdraw(const float* positions, std::size_t vertexCount, const std::uint32_t* indices,
                     std::size_t indexCount, OverdrawFigures* figures, Budget* budget = nullptr);

}  // namespace qx::figures
