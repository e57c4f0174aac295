#include "figures/mesh_figures.h"

#include <algorithm>
#include <cfloat>
#include <limits>
#include <vector>

// Every float operation below is one of the library's, in its order and at its
// precision: a fused multiply-add would change the last bits of a depth and so which
// triangle wins a pixel. The build compiles this file with contraction off.

namespace qx::figures {
namespace {

bool IndicesNameVertices(const std::uint32_t* indices, std::size_t indexCount, std::size_t vertexCount) {
  if (indexCount % 3 != 0 || (indexCount > 0 && indices == nullptr)) return false;
  for (std::size_t i = 0; i < indexCount; ++i) {
    if (indices[i] >= vertexCount) return false;
  }
  return true;
}

// The side of each view, in pixels.
constexpr int kViewport = 256;

// One pixel of a view: the nearest depth drawn and the times it was written, for
// triangles facing the view and facing away, apart.
struct Pixel {
  float depth[2];
  std::uint32_t writes[2];
};

// A corner as a view sees it: across (x, y) and into (z), in pixels.
struct Corner {
  float x, y, z;
};

// Corners stay within a few viewports of the view, so the fixed-point edge arithmetic
// cannot overflow; only non-finite or overflowing positions fall outside (and NaN
// fails every comparison).
bool Drawable(const Corner& c) {
  const auto near = [](float v) { return v >= -kViewport && v <= 2 * kViewport; };
  return near(c.x) && near(c.y) && near(c.z);
}

// v / 16 rounded down: the pixel of a 28.4 fixed-point coordinate.
int PixelOf(int v) { return v >= 0 ? v / 16 : -((15 - v) / 16); }

int Fixed(float v) { return static_cast<int>(16.0f * v + 0.5f); }

bool Spend(Budget* budget, Budget steps) {
  if (budget == nullptr) return true;
  if (steps > *budget) return false;
  *budget -= steps;
  return true;
}

// Draws one triangle into the view, counting every pixel whose centre it covers
// (top-left fill rule) and where it is nearest among those facing the same way. False
// when the budget cannot pay for its bounding box.
bool Draw(std::vector<Pixel>& view, Corner a, Corner b, Corner c, Budget* budget) {
  if (!Drawable(a) || !Drawable(b) || !Drawable(c)) return Spend(budget, 1);

  // Depth slopes by Cramer's rule, as the library computes them: its determinant
  // divides only the second term of each. They decide only which of two overlapping
  // triangles facing the same way wins a pixel, and are kept so the figures are its.
  const float det = (b.x - a.x) * (c.y - a.y) - (b.y - a.y) * (c.x - a.x);
  const float inverse = det == 0 ? 0 : 1 / det;
  float slopeX = (b.z - a.z) * (c.y - a.y) - (b.y - a.y) * (c.z - a.z) * inverse;
  float slopeY = (b.x - a.x) * (c.z - a.z) - (b.z - a.z) * (c.x - a.x) * inverse;

  // Triangles facing away are turned round and drawn into their own layer with depth
  // reversed; swapping b and c keeps slopes taken from a.
  const int away = det > 0;
  if (away) {
    std::swap(b, c);
    a.z = kViewport - a.z;
    slopeX = -slopeX;
    slopeY = -slopeY;
  }

  const int x1 = Fixed(a.x), x2 = Fixed(b.x), x3 = Fixed(c.x);
  const int y1 = Fixed(a.y), y2 = Fixed(b.y), y3 = Fixed(c.y);
  // Pixels whose centres may be covered; the right and bottom edges are never drawn.
  const int left = std::max(PixelOf(std::min({x1, x2, x3}) + 7), 0);
  const int right = std::min(PixelOf(std::max({x1, x2, x3}) + 7), kViewport);
  const int top = std::max(PixelOf(std::min({y1, y2, y3}) + 7), 0);
  const int bottom = std::min(PixelOf(std::max({y1, y2, y3}) + 7), kViewport);
  const Budget box = right > left && bottom > top ? Budget(right - left) * Budget(bottom - top) : 0;
  if (!Spend(budget, box + 1)) return false;

  // Edge functions from each corner to the next, at the first pixel's centre; an edge
  // that is a top or left one owns the pixels exactly on it.
  const int dx12 = x1 - x2, dx23 = x2 - x3, dx31 = x3 - x1;
  const int dy12 = y1 - y2, dy23 = y2 - y3, dy31 = y3 - y1;
  const int own1 = dy12 < 0 || (dy12 == 0 && dx12 > 0);
  const int own2 = dy23 < 0 || (dy23 == 0 && dx23 > 0);
  const int own3 = dy31 < 0 || (dy31 == 0 && dx31 > 0);
  const int fx = left * 16 + 8, fy = top * 16 + 8;
  int row1 = dx12 * (fy - y1) - dy12 * (fx - x1) + own1 - 1;
  int row2 = dx23 * (fy - y2) - dy23 * (fx - x2) + own2 - 1;
  int row3 = dx31 * (fy - y3) - dy31 * (fx - x3) + own3 - 1;
  float rowDepth = a.z + (slopeX * float(fx - x1) + slopeY * float(fy - y1)) * (1 / 16.f);

  for (int y = top; y < bottom; ++y) {
    int e1 = row1, e2 = row2, e3 = row3;
    float depth = rowDepth;
    Pixel* pixel = &view[static_cast<std::size_t>(y) * kViewport + static_cast<std::size_t>(left)];
    for (int x = left; x < right; ++x, ++pixel) {
      if ((e1 | e2 | e3) >= 0 && depth >= pixel->depth[away]) {
        pixel->depth[away] = depth;
        ++pixel->writes[away];
      }
      e1 -= dy12 * 16;
      e2 -= dy23 * 16;
      e3 -= dy31 * 16;
      depth += slopeX;
    }
    row1 += dx12 * 16;
    row2 += dx23 * 16;
    row3 += dx31 * 16;
    rowDepth += slopeY;
  }
  return true;
}

}  // namespace

bool MeasureCache(const std::uint32_t* indices, std::size_t indexCount, std::size_t vertexCount,
                  CacheFigures* figures) {
  // Stamps are 32-bit, as the library's, and must not wrap.
  if (!IndicesNameVertices(indices, indexCount, vertexCount) ||
      indexCount > std::numeric_limits<std::uint32_t>::max() - 2 * (kCacheSize + 1)) {
    return false;
  }
  // A vertex is in the cache while fewer than kCacheSize vertices were loaded after
  // it: each load takes the next stamp, and 0 (never loaded) is always out.
  std::vector<std::uint32_t> loadedAt(vertexCount, 0);
  std::uint32_t next = kCacheSize + 1;
  CacheFigures f;
  for (std::size_t i = 0; i < indexCount; ++i) {
    std::uint32_t& stamp = loadedAt[indices[i]];
    if (next - stamp > kCacheSize) {
      stamp = next++;
      ++f.transformed;
    }
  }
  for (const std::uint32_t stamp : loadedAt) f.vertices += stamp != 0;
  f.triangles = indexCount / 3;
  f.acmr = f.triangles == 0 ? 0 : float(f.transformed) / float(f.triangles);
  f.atvr = f.vertices == 0 ? 0 : float(f.transformed) / float(f.vertices);
  *figures = f;
  return true;
}

bool MeasureOverdraw(const float* positions, std::size_t vertexCount, const std::uint32_t* indices,
                     std::size_t indexCount, OverdrawFigures* figures, Budget* budget) {
  if (!IndicesNameVertices(indices, indexCount, vertexCount) || (vertexCount > 0 && positions == nullptr)) {
    return false;
  }
  // The mesh scaled so that its longest side spans the view (comparisons written as the
  // library's, so that NaN goes the same way).
  float low[3] = {FLT_MAX, FLT_MAX, FLT_MAX};
  float high[3] = {-FLT_MAX, -FLT_MAX, -FLT_MAX};
  for (std::size_t v = 0; v < vertexCount; ++v) {
    for (int j = 0; j < 3; ++j) {
      const float p = positions[3 * v + j];
      low[j] = low[j] < p ? low[j] : p;
      high[j] = high[j] > p ? high[j] : p;
    }
  }
  const auto larger = [](float a, float b) { return a > b ? a : b; };
  const float extent = larger(high[0] - low[0], larger(high[1] - low[1], high[2] - low[2]));
  const float scale = kViewport / extent;
  const auto scaled = [&](std::uint32_t index, int j) { return (positions[3 * index + j] - low[j]) * scale; };

  // Looking along x, y and z in turn: (across, up, into) = (z, y, x), (x, z, y), (y, x, z).
  static constexpr int kAxes[3][3] = {{2, 1, 0}, {0, 2, 1}, {1, 0, 2}};
  std::vector<Pixel> view(static_cast<std::size_t>(kViewport) * kViewport);
  OverdrawFigures f;
  for (const auto& axes : kAxes) {
    std::fill(view.begin(), view.end(), Pixel{{0, 0}, {0, 0}});
    for (std::size_t i = 0; i < indexCount; i += 3) {
      Corner corners[3];
      for (int k = 0; k < 3; ++k) {
        const std::uint32_t index = indices[i + k];
        corners[k] = {scaled(index, axes[0]), scaled(index, axes[1]), scaled(index, axes[2])};
      }
      if (!Draw(view, corners[0], corners[1], corners[2], budget)) return false;
    }
    for (const Pixel& pixel : view) {
      for (const std::uint32_t writes : pixel.writes) {
        f.covered += writes > 0;
        f.shaded += writes;
      }
    }
  }
  f.overdraw = f.covered == 0 ? 0 : float(f.shaded) / float(f.covered);
  *figures = f;
  return true;
}

void Totals::Add(const CacheFigures& cache, const OverdrawFigures* overdraw) {
  ++meshes_;
  triangles_ += cache.triangles;
  transformed_ += cache.transformed;
  vertices_ += cache.vertices;
  overdrawKnown_ = overdrawKnown_ && overdraw != nullptr;
  if (overdraw != nullptr) overdrawByTriangles_ += double(overdraw->overdraw) * double(cache.triangles);
}

double Totals::acmr() const { return triangles_ == 0 ? 0 : double(transformed_) / double(triangles_); }
double Totals::atvr() const { return vertices_ == 0 ? 0 : double(transformed_) / double(vertices_); }
double Totals::overdraw() const { return triangles_ == 0 ? 0 : overdrawByTriangles_ / double(triangles_); }

}  // namespace qx::figures
