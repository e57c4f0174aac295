#include "examine/render.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "files/output_file.h"

#include <zlib.h>

namespace {
// zlib at its fastest level deflates a 4096 x 4096 picture several times faster than the
// writer's own deflate, which alone took over a second; the file is a few percent larger.
unsigned char* Deflate(unsigned char* data, int length, int* outLength, int /*quality*/) {
  uLongf size = compressBound(static_cast<uLong>(length));
  auto* out = static_cast<unsigned char*>(std::malloc(size));
  if (out == nullptr || compress2(out, &size, data, static_cast<uLong>(length), 1) != Z_OK) {
    std::free(out);
    return nullptr;
  }
  *outLength = static_cast<int>(size);
  return out;
}
}  // namespace

#define STBIW_ZLIB_COMPRESS Deflate
#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STB_IMAGE_WRITE_STATIC
#include <stb/stb_image_write.h>

namespace qx::examine {
namespace {

using reader::AssetKind;

struct V3 {
  float x, y, z;
};

V3 Sub(V3 a, V3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
V3 Cross(V3 a, V3 b) { return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; }
float Dot(V3 a, V3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
bool Finite(V3 v) { return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z); }

void Put(Image& image, int x, int y, const std::uint8_t color[4]) {
  if (x < 0 || y < 0 || x >= image.width || y >= image.height) return;
  std::copy_n(color, 4, &image.rgba[4 * (static_cast<std::size_t>(y) * image.width + x)]);
}

// The drawing work a picture may take, counted in pixels visited, rows walked and line
// steps: a file of a few thousand full-frame triangles or zigzag keys would otherwise
// keep a thumbnailer busy for minutes. About half a second on this project's machine;
// a real model of millions of faces uses a tenth of it at the largest size.
constexpr std::uint64_t kDrawingSteps = 300'000'000;

class Budget {
 public:
  bool Spend(std::uint64_t steps) {
    if (steps > left_) {
      left_ = 0;
      return false;
    }
    left_ -= steps;
    return true;
  }
  bool Spent() const { return left_ == 0; }
  static std::string TooCostly(int size) {
    const std::string side = std::to_string(size);
    return "drawing it at " + side + " x " + side + " pixels takes more than the " +
           std::to_string(kDrawingSteps) + " pixel steps this tool allows; a smaller --size may draw it";
  }

 private:
  std::uint64_t left_ = kDrawingSteps;
};

void Line(Image& image, Budget& budget, float x0, float y0, float x1, float y1,
          const std::uint8_t color[4]) {
  const int steps = static_cast<int>(std::max(std::fabs(x1 - x0), std::fabs(y1 - y0))) + 1;
  if (!budget.Spend(static_cast<std::uint64_t>(steps) + 1)) return;
  for (int i = 0; i <= steps; ++i) {
    const float t = static_cast<float>(i) / static_cast<float>(steps);
    Put(image, static_cast<int>(std::lround(x0 + (x1 - x0) * t)),
        static_cast<int>(std::lround(y0 + (y1 - y0) * t)), color);
  }
}

// A fixed three-quarter view: turned 35 degrees about the vertical, tilted 25 degrees.
V3 View(const reader::Vec3& p) {
  const float cy = 0.8191520f, sy = 0.5735764f, cx = 0.9063078f, sx = 0.4226183f;
  const float x = cy * p.x + sy * p.z;
  const float z = -sy * p.x + cy * p.z;
  return {x, cx * p.y - sx * z, sx * p.y + cx * z};
}

// Fills the triangle where it covers pixel centres, nearest first. Each row's span is
// solved from the three edges, so the work is the rows plus the pixels covered, not the
// triangle's bounding box; false once the budget is spent.
bool Fill(Image& image, Budget& budget, std::vector<float>& depth, V3 a, V3 b, V3 c,
          const std::uint8_t color[4]) {
  const double area = double(b.x - a.x) * (c.y - a.y) - double(b.y - a.y) * (c.x - a.x);
  if (area == 0) return true;
  const int y0 = std::max(0, static_cast<int>(std::floor(std::min({a.y, b.y, c.y}))));
  const int y1 = std::min(image.height - 1, static_cast<int>(std::ceil(std::max({a.y, b.y, c.y}))));
  const int x0 = std::max(0, static_cast<int>(std::floor(std::min({a.x, b.x, c.x}))));
  const int x1 = std::min(image.width - 1, static_cast<int>(std::ceil(std::max({a.x, b.x, c.x}))));
  if (y0 > y1 || x0 > x1) return true;
  if (!budget.Spend(static_cast<std::uint64_t>(y1 - y0) + 1)) return false;
  // Edge i is opposite vertex i: e(px, py) = dx * px + dy * py + k, positive inside,
  // and z = sum of e_i * z_i / area.
  const V3 v[3] = {a, b, c};
  double dx[3], dy[3], k[3];
  for (int i = 0; i < 3; ++i) {
    const V3& p = v[(i + 1) % 3];
    const V3& q = v[(i + 2) % 3];
    dx[i] = (double(p.y) - q.y) / area;
    dy[i] = (double(q.x) - p.x) / area;
    k[i] = (double(p.x) * q.y - double(p.y) * q.x) / area;
  }
  const double dzdx = dx[0] * a.z + dx[1] * b.z + dx[2] * c.z;
  for (int y = y0; y <= y1; ++y) {
    const double py = y + 0.5;
    double lo = x0 + 0.5, hi = x1 + 0.5;
    for (int i = 0; i < 3; ++i) {
      const double rest = dy[i] * py + k[i];  // e_i = dx * px + rest >= 0
      if (dx[i] > 0) lo = std::max(lo, -rest / dx[i]);
      else if (dx[i] < 0) hi = std::min(hi, -rest / dx[i]);
      else if (rest < 0) hi = lo - 1;
    }
    if (!(lo <= hi)) continue;
    const int first = static_cast<int>(std::ceil(lo - 0.5));
    const int last = static_cast<int>(std::floor(hi - 0.5));
    if (first > last) continue;
    if (!budget.Spend(static_cast<std::uint64_t>(last - first) + 1)) return false;
    const double px = first + 0.5;
    float z = static_cast<float>((dx[0] * px + dy[0] * py + k[0]) * a.z +
                                 (dx[1] * px + dy[1] * py + k[1]) * b.z +
                                 (dx[2] * px + dy[2] * py + k[2]) * c.z);
    float* nearest = &depth[static_cast<std::size_t>(y) * image.width + first];
    std::uint8_t* pixel = &image.rgba[4 * (static_cast<std::size_t>(y) * image.width + first)];
    for (int x = first; x <= last; ++x, ++nearest, pixel += 4, z += static_cast<float>(dzdx)) {
      if (z <= *nearest) continue;
      *nearest = z;
      std::copy_n(color, 4, pixel);
    }
  }
  return true;
}

bool RenderModel(const reader::AssetFile& asset, Image& image, std::string* error) {
  // Each position is turned into view space once, however many faces share it. Framing:
  // the view-space bounds of every finite position, scaled to 90% of the frame.
  std::vector<std::vector<V3>> views(asset.meshes.size());
  float lo[2] = {std::numeric_limits<float>::max(), std::numeric_limits<float>::max()};
  float hi[2] = {-lo[0], -lo[1]};
  std::size_t drawable = 0;
  for (std::size_t m = 0; m < asset.meshes.size(); ++m) {
    const reader::Mesh& mesh = asset.meshes[m];
    if (mesh.indicesPerFace == 0 || mesh.indices.empty()) continue;
    drawable += mesh.faceCount;
    views[m].reserve(mesh.positions.size());
    for (const reader::Vec3& p : mesh.positions) {
      const V3 v = View(p);
      views[m].push_back(v);
      if (!Finite(v)) continue;
      lo[0] = std::min(lo[0], v.x), hi[0] = std::max(hi[0], v.x);
      lo[1] = std::min(lo[1], v.y), hi[1] = std::max(hi[1], v.y);
    }
  }
  if (drawable == 0) {
    *error = "the model has no faces to draw";
    return false;
  }
  if (lo[0] > hi[0]) {
    // Faces there are; their corners are infinite, NaN, or so large that turning them
    // to the view overflows.
    *error = "the model has " + std::to_string(drawable) + (drawable == 1 ? " face" : " faces") +
             " but none can be drawn: every position is infinite, NaN or too large (near 1e38) to turn";
    return false;
  }
  const float extent = std::max({hi[0] - lo[0], hi[1] - lo[1], 1e-20f});
  const float scale = 0.9f * static_cast<float>(image.width) / extent;
  const float cx = (lo[0] + hi[0]) / 2, cy = (lo[1] + hi[1]) / 2;
  const float half = static_cast<float>(image.width) / 2;
  auto screen = [&](const V3& v) {
    return V3{half + (v.x - cx) * scale, half - (v.y - cy) * scale, v.z};
  };

  std::vector<float> depth(image.rgba.size() / 4, -std::numeric_limits<float>::infinity());
  Budget budget;
  const V3 light = {0.3f, 0.8f, 0.52f};
  const std::uint8_t edge[4] = {60, 110, 160, 255};
  for (std::size_t m = 0; m < asset.meshes.size(); ++m) {
    const reader::Mesh& mesh = asset.meshes[m];
    const std::vector<V3>& view = views[m];
    const std::uint32_t n = mesh.indicesPerFace;
    for (std::size_t f = 0; !view.empty() && f < mesh.faceCount && !budget.Spent(); ++f) {
      const std::uint32_t* face = &mesh.indices[f * n];
      if (n < 3) {
        const V3 a = screen(view[face[0]]);
        const V3 b = n == 2 ? screen(view[face[1]]) : a;
        if (Finite(a) && Finite(b)) Line(image, budget, a.x, a.y, b.x, b.y, edge);
        continue;
      }
      const V3 a = screen(view[face[0]]), b = screen(view[face[1]]), c = screen(view[face[2]]);
      if (!Finite(a) || !Finite(b) || !Finite(c)) continue;
      // Shaded by how squarely the face meets the light, either side facing.
      const V3 normal =
          Cross(Sub(view[face[1]], view[face[0]]), Sub(view[face[2]], view[face[0]]));
      // A face too small or too large for float arithmetic has no usable normal (0, or
      // inf / inf): it gets a middle shade rather than a colour cast from NaN.
      const float length = std::sqrt(Dot(normal, normal));
      float facing = length > 0 ? std::fabs(Dot(normal, light)) / length : 0.5f;
      if (!(facing >= 0 && facing <= 1)) facing = 0.5f;
      const float shade = 0.25f + 0.75f * facing;
      const std::uint8_t color[4] = {static_cast<std::uint8_t>(90 * shade + 40),
                                     static_cast<std::uint8_t>(150 * shade + 40),
                                     static_cast<std::uint8_t>(200 * shade + 50), 255};
      if (!Fill(image, budget, depth, a, b, c, color)) break;
    }
  }
  if (budget.Spent()) {
    *error = Budget::TooCostly(image.width);
    return false;
  }
  return true;
}

bool RenderTexture(const reader::AssetFile& asset, Image& image, std::string* error) {
  if (asset.data.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
    *error = "the texture is too large to draw";
    return false;
  }
  Image source;
  if (!DecodeImage(asset.data.data(), asset.data.size(), &source, error)) {
    *error = "the texture cannot be drawn: " + *error;
    return false;
  }
  const int width = source.width, height = source.height;
  // Nearest pixel, scaled to fit and centred; the rest stays transparent.
  const double scale = std::min(static_cast<double>(image.width) / width,
                                static_cast<double>(image.height) / height);
  const int w = std::max(1, static_cast<int>(width * scale));
  const int h = std::max(1, static_cast<int>(height * scale));
  const int left = (image.width - w) / 2, top = (image.height - h) / 2;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const int sx = std::min(width - 1, static_cast<int>(x / scale));
      const int sy = std::min(height - 1, static_cast<int>(y / scale));
      Put(image, left + x, top + y, &source.rgba[4 * (static_cast<std::size_t>(sy) * width + sx)]);
    }
  }
  return true;
}

// Every rotation component of every channel over time, one colour per component,
// all on one scale from -1 to 1 (quaternion components never leave it).
bool RenderAnimation(const reader::AssetFile& asset, Image& image, std::string* error) {
  double first = std::numeric_limits<double>::infinity(), last = -first;
  for (const reader::Animation& animation : asset.animations) {
    for (const reader::Channel channel : animation.channels) {
      for (const reader::Key& key : channel.rotations) {
        if (!std::isfinite(key.time)) continue;
        first = std::min(first, key.time), last = std::max(last, key.time);
      }
    }
  }
  if (!(first <= last)) {
    *error = "the animation has no rotation keys to draw";
    return false;
  }
  const double span = last > first ? last - first : 1;
  const float size = static_cast<float>(image.width);
  auto at = [&](double time, float value) {
    return V3{static_cast<float>(0.05 * size + 0.9 * size * (time - first) / span),
              0.5f * size - 0.45f * size * std::clamp(value, -1.0f, 1.0f), 0};
  };
  Budget budget;
  static const std::uint8_t kColors[4][4] = {
      {220, 70, 60, 255}, {70, 180, 80, 255}, {60, 110, 220, 255}, {200, 200, 200, 255}};
  for (const reader::Animation& animation : asset.animations) {
    for (const reader::Channel channel : animation.channels) {
      for (std::size_t k = 1; k < channel.rotations.size(); ++k) {
        const reader::Key& a = channel.rotations[k - 1];
        const reader::Key& b = channel.rotations[k];
        const float av[4] = {a.x, a.y, a.z, a.w}, bv[4] = {b.x, b.y, b.z, b.w};
        for (int c = 0; c < 4; ++c) {
          const V3 p = at(a.time, av[c]), q = at(b.time, bv[c]);
          if (Finite(p) && Finite(q)) Line(image, budget, p.x, p.y, q.x, q.y, kColors[c]);
        }
        if (budget.Spent()) {
          *error = Budget::TooCostly(image.width);
          return false;
        }
      }
    }
  }
  return true;
}

void AppendBytes(void* context, void* data, int size) {
  auto* out = static_cast<std::string*>(context);
  out->append(static_cast<const char*>(data), static_cast<std::size_t>(size));
}

}  // namespace

bool RenderAsset(const reader::AssetFile& asset, int size, Image* image, std::string* error) {
  image->width = image->height = size;
  image->rgba.assign(static_cast<std::size_t>(size) * size * 4, 0);
  switch (asset.kind) {
    case AssetKind::Model: return RenderModel(asset, *image, error);
    case AssetKind::Texture: return RenderTexture(asset, *image, error);
    case AssetKind::Animation: return RenderAnimation(asset, *image, error);
    case AssetKind::Music:
    case AssetKind::Sound: break;
  }
  *error = std::string("cannot draw a ") + reader::KindName(asset.kind) + " asset";
  return false;
}

bool WritePng(const Image& image, const std::string& path, std::string* error) {
  std::string png;
  if (stbi_write_png_to_func(AppendBytes, &png, image.width, image.height, 4, image.rgba.data(),
                             image.width * 4) == 0) {
    *error = "cannot encode the image as PNG";
    return false;
  }
  OutputFile output;
  if (!output.Open(path) || !output.Write(png.data(), static_cast<std::int32_t>(png.size())) ||
      !output.Commit()) {
    *error = "cannot write " + path + ": " + output.errorText();
    return false;
  }
  return true;
}

}  // namespace qx::examine
