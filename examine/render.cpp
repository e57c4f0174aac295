#include "examine/render.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "examine/pose.h"
#include "examine/write_out.h"

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

#include <stb/stb_easy_font.h>

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
  if (!std::isfinite(x0) || !std::isfinite(y0) || !std::isfinite(x1) || !std::isfinite(y1)) return;
  // Measured in double and paid for before it becomes an int: a line longer than the
  // whole budget spends it all and draws nothing.
  const double length = std::max(std::fabs(double(x1) - x0), std::fabs(double(y1) - y0));
  if (!(length < static_cast<double>(kDrawingSteps))) {
    budget.Spend(kDrawingSteps + 1);
    return;
  }
  const int steps = static_cast<int>(length) + 1;
  if (!budget.Spend(static_cast<std::uint64_t>(steps) + 1)) return;
  for (int i = 0; i <= steps; ++i) {
    const float t = static_cast<float>(i) / static_cast<float>(steps);
    Put(image, static_cast<int>(std::lround(x0 + (x1 - x0) * t)),
        static_cast<int>(std::lround(y0 + (y1 - y0) * t)), color);
  }
}

// The viewer page's first view: looking at the model from (0.6, 0.45, 1), y up, so a
// thumbnail shows the side the page shows. x right, y up, z towards the viewer.
V3 View(const reader::Vec3& p) {
  constexpr V3 right = {0.8574929f, 0.0f, -0.5144958f};
  constexpr V3 up = {-0.1852184f, 0.9329522f, -0.3086974f};
  constexpr V3 toward = {0.48f, 0.36f, 0.8f};
  const V3 v = {p.x, p.y, p.z};
  return {Dot(v, right), Dot(v, up), Dot(v, toward)};
}

// A material's colour: the viewer page's calm hue per material index, so meshes
// sharing a material match, in RGB 0..1.
V3 MaterialColor(std::uint32_t index) {
  const double hue = std::fmod(std::fmod(index * 0.618034, 1.0) + 0.55, 1.0);
  const double saturation = 0.35, lightness = 0.62;
  const double q = lightness + saturation - lightness * saturation, p = 2 * lightness - q;
  auto channel = [&](double t) {
    t = t < 0 ? t + 1 : t > 1 ? t - 1 : t;
    if (t < 1.0 / 6) return p + (q - p) * 6 * t;
    if (t < 0.5) return q;
    if (t < 2.0 / 3) return p + (q - p) * (2.0 / 3 - t) * 6;
    return p;
  };
  return {static_cast<float>(channel(hue + 1.0 / 3)), static_cast<float>(channel(hue)),
          static_cast<float>(channel(hue - 1.0 / 3))};
}

// Fills the triangle where it covers pixel centres, nearest first. Each row's span is
// solved from the three edges, so the work is the rows plus the pixels covered, not the
// triangle's bounding box; false once the budget is spent.
bool Fill(Image& image, Budget& budget, std::vector<float>& depth, V3 a, V3 b, V3 c,
          const float shade[3], V3 color) {
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
  const double dsdx = dx[0] * shade[0] + dx[1] * shade[1] + dx[2] * shade[2];
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
    double w[3];
    for (int i = 0; i < 3; ++i) w[i] = dx[i] * px + dy[i] * py + k[i];
    float z = static_cast<float>(w[0] * a.z + w[1] * b.z + w[2] * c.z);
    double lit = w[0] * shade[0] + w[1] * shade[1] + w[2] * shade[2];
    float* nearest = &depth[static_cast<std::size_t>(y) * image.width + first];
    std::uint8_t* pixel = &image.rgba[4 * (static_cast<std::size_t>(y) * image.width + first)];
    for (int x = first; x <= last; ++x, ++nearest, pixel += 4, z += static_cast<float>(dzdx), lit += dsdx) {
      if (z < *nearest || (z == *nearest && pixel[3] == 0)) continue;
      // Extreme triangles can interpolate to NaN: that pixel gets the darkest shade.
      const float facing = static_cast<float>(lit);
      const float light = 0.35f + 0.65f * (facing > 0 ? std::min(facing, 1.0f) : 0.0f);
      const std::array<std::uint8_t, 3> rgb = {static_cast<std::uint8_t>(255 * std::min(1.0f, color.x * light)),
                                               static_cast<std::uint8_t>(255 * std::min(1.0f, color.y * light)),
                                               static_cast<std::uint8_t>(255 * std::min(1.0f, color.z * light))};
      // At equal depth (a shared edge, faces in one plane) the brighter colour wins,
      // not the first drawn, so the picture does not depend on the triangles' order
      // (-optimize reorders them).
      if (z == *nearest && std::lexicographical_compare(rgb.begin(), rgb.end(), pixel, pixel + 3)) continue;
      if (z == *nearest && std::equal(rgb.begin(), rgb.end(), pixel)) continue;
      *nearest = z;
      std::copy(rgb.begin(), rgb.end(), pixel);
      pixel[3] = 255;
    }
  }
  return true;
}

// How squarely a surface of this (view-space) normal meets the light, either side
// facing, 0..1; a normal too small or too large for float arithmetic (0, or inf / inf)
// gets a middle value rather than NaN.
float Facing(V3 normal) {
  const V3 light = {0.2981424f, 0.5962848f, 0.745356f};  // unit length: above, behind the viewer
  const float length = std::sqrt(Dot(normal, normal));
  const float facing = length > 0 ? std::fabs(Dot(normal, light)) / length : 0.5f;
  return facing >= 0 ? std::min(facing, 1.0f) : 0.5f;  // NaN: the middle shade
}

// Averages each factor x factor block into one pixel, weighted by coverage, so edges
// come out smooth.
void Downsample(const Image& large, int factor, Image& image) {
  for (int y = 0; y < image.height; ++y) {
    for (int x = 0; x < image.width; ++x) {
      std::uint32_t sum[4] = {0, 0, 0, 0};
      for (int j = 0; j < factor; ++j) {
        for (int i = 0; i < factor; ++i) {
          const std::uint8_t* p =
              &large.rgba[4 * (static_cast<std::size_t>(y * factor + j) * large.width + x * factor + i)];
          for (int c = 0; c < 3; ++c) sum[c] += p[c] * p[3];
          sum[3] += p[3];
        }
      }
      std::uint8_t* out = &image.rgba[4 * (static_cast<std::size_t>(y) * image.width + x)];
      for (int c = 0; c < 3; ++c) out[c] = static_cast<std::uint8_t>(sum[3] > 0 ? sum[c] / sum[3] : 0);
      out[3] = static_cast<std::uint8_t>(sum[3] / (factor * factor));
    }
  }
}

bool RenderModelAt(const reader::AssetFile& asset, Image& image, std::string* error) {
  // Each position is turned into view space once, however many faces share it. Framing:
  // the view-space bounds of every finite position, scaled to 90% of the frame.
  std::vector<std::vector<V3>> views(asset.meshes.size());
  float lo[2] = {std::numeric_limits<float>::max(), std::numeric_limits<float>::max()};
  float hi[2] = {-lo[0], -lo[1]};
  std::size_t drawable = 0;
  for (std::size_t m = 0; m < asset.meshes.size(); ++m) {
    const reader::Mesh& mesh = asset.meshes[m];
    // A mesh without faces is drawn as its points, as the page draws it.
    const bool faces = mesh.indicesPerFace > 0 && !mesh.indices.empty();
    drawable += faces ? mesh.faceCount : mesh.positions.size();
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
  const int dot = std::max(4, image.width / 128);  // points stay visible at any size
  for (std::size_t m = 0; m < asset.meshes.size() && !budget.Spent(); ++m) {
    const reader::Mesh& mesh = asset.meshes[m];
    const std::vector<V3>& view = views[m];
    const V3 base = MaterialColor(mesh.materialIndex);
    const std::uint8_t solid[4] = {static_cast<std::uint8_t>(200 * base.x), static_cast<std::uint8_t>(200 * base.y),
                                   static_cast<std::uint8_t>(200 * base.z), 255};
    auto point = [&](const V3& v) {
      const V3 p = screen(v);
      if (!Finite(p) || !budget.Spend(static_cast<std::uint64_t>(dot) * dot)) return;
      for (int j = 0; j < dot; ++j) {
        for (int i = 0; i < dot; ++i) Put(image, static_cast<int>(p.x) + i, static_cast<int>(p.y) + j, solid);
      }
    };
    const std::uint32_t n = mesh.indicesPerFace;
    if (n == 0 || mesh.indices.empty()) {
      for (std::size_t v = 0; v < view.size() && budget.Spend(1); ++v) point(view[v]);
      continue;
    }
    // Smooth shading from the stored normals where there are any, else flat per face.
    std::vector<float> facing;
    if (mesh.hasNormals && mesh.normals.size() == view.size()) {
      facing.reserve(view.size());
      for (const reader::Vec3& normal : mesh.normals) facing.push_back(Facing(View(normal)));
    }
    for (std::size_t f = 0; f < mesh.faceCount && budget.Spend(1); ++f) {
      const std::uint32_t* face = &mesh.indices[f * n];
      if (n == 1) {
        point(view[face[0]]);
        continue;
      }
      if (n == 2) {
        const V3 a = screen(view[face[0]]), b = screen(view[face[1]]);
        if (Finite(a) && Finite(b)) Line(image, budget, a.x, a.y, b.x, b.y, solid);
        continue;
      }
      const V3 a = screen(view[face[0]]), b = screen(view[face[1]]), c = screen(view[face[2]]);
      if (!Finite(a) || !Finite(b) || !Finite(c)) continue;
      float shade[3];
      if (facing.empty()) {
        shade[0] = shade[1] = shade[2] =
            Facing(Cross(Sub(view[face[1]], view[face[0]]), Sub(view[face[2]], view[face[0]])));
      } else {
        for (int i = 0; i < 3; ++i) shade[i] = facing[face[i]];
      }
      if (!Fill(image, budget, depth, a, b, c, shade, base)) break;
    }
  }
  if (budget.Spent()) {
    *error = Budget::TooCostly(image.width);
    return false;
  }
  return true;
}

// Drawn at twice the size and averaged down, for smooth edges, up to 1024 pixels; the
// largest sizes have pixels enough.
bool RenderModel(const reader::AssetFile& asset, Image& image, std::string* error) {
  const int factor = image.width <= 1024 ? 2 : 1;
  if (factor == 1) return RenderModelAt(asset, image, error);
  Image large;
  large.width = large.height = image.width * factor;
  large.rgba.assign(static_cast<std::size_t>(large.width) * large.height * 4, 0);
  if (!RenderModelAt(asset, large, error)) {
    if (error->find("pixel steps") != std::string::npos) *error = Budget::TooCostly(image.width);
    return false;
  }
  Downsample(large, factor, image);
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

// Text in stb's small built-in font, scaled up: each glyph stroke is a quad.
void Text(Image& image, Budget& budget, float x, float y, const std::string& text, float scale,
          const std::uint8_t color[4]) {
  if (!(std::fabs(x) < 1e6f && std::fabs(y) < 1e6f)) return;  // off the picture, and no int holds it
  std::vector<char> buffer(text.size() * 1024 + 64);  // up to 16 quads of 64 bytes a glyph
  std::string copy = text;
  unsigned char white[4] = {255, 255, 255, 255};
  const int quads = stb_easy_font_print(0, 0, copy.data(), white, buffer.data(), static_cast<int>(buffer.size()));
  for (int q = 0; q < quads; ++q) {
    float corner[4][2];
    for (int v = 0; v < 4; ++v) std::memcpy(corner[v], &buffer[(q * 4 + v) * 16], 8);
    const int x0 = static_cast<int>(x + corner[0][0] * scale), y0 = static_cast<int>(y + corner[0][1] * scale);
    const int x1 = static_cast<int>(x + corner[2][0] * scale), y1 = static_cast<int>(y + corner[2][1] * scale);
    const std::uint64_t area = static_cast<std::uint64_t>(std::max(y1 - y0, 1)) * std::max(x1 - x0, 1);
    if (!budget.Spend(area)) return;
    for (int py = y0; py < std::max(y1, y0 + 1); ++py) {
      for (int px = x0; px < std::max(x1, x0 + 1); ++px) Put(image, px, py, color);
    }
  }
}

std::string Short(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.4g", value);
  return text;
}

// A round step for about `count` marks over span: 1, 2 or 5 times a power of ten.
double NiceStep(double span, int count) {
  const double raw = span / count;
  const double power = std::pow(10.0, std::floor(std::log10(raw)));
  for (const double m : {1.0, 2.0, 5.0}) {
    if (raw <= m * power) return m * power;
  }
  return 10 * power;
}

constexpr int kMostMarks = 10;

// A plot frame: the box, the value axis from -1 to 1 with its zero line, and the time
// axis with round marks and their values. The plot takes `width` of the picture's
// width from the left (all of it when nothing is drawn beside it).
void Axes(Image& image, Budget& budget, double first, double last, const std::string& title, float width) {
  const float size = static_cast<float>(image.width), left = 0.1f * size, right = 0.97f * width;
  const float top = 0.1f * size, bottom = 0.85f * size, scale = std::max(1.0f, size / 256);
  const std::uint8_t axis[4] = {110, 110, 110, 255}, grid[4] = {200, 200, 200, 255};
  Line(image, budget, left, top, left, bottom, axis);
  Line(image, budget, left, bottom, right, bottom, axis);
  const float zero = (top + bottom) / 2;
  Line(image, budget, left, zero, right, zero, grid);
  Text(image, budget, 2 * scale, top - 3 * scale, "1", scale, axis);
  Text(image, budget, 2 * scale, zero - 3 * scale, "0", scale, axis);
  Text(image, budget, 2 * scale, bottom - 3 * scale, "-1", scale, axis);
  const double span = last > first ? last - first : 1;
  const double step = NiceStep(span, width < size ? 3 : 5);
  const double start = std::ceil(first / step) * step;
  // Each mark is counted from the first, never stepped to: at 1e17 ticks adding a step
  // of 0.2 leaves the time where it was. A step is at least a fifth of the span, so a
  // few marks cover it; marks that rounding puts on one time are drawn once.
  double previous = std::numeric_limits<double>::quiet_NaN();
  for (int i = 0; i <= kMostMarks; ++i) {
    const double t = start + i * step;
    if (!(t <= last + step * 1e-9)) break;
    if (t == previous) continue;
    previous = t;
    // Far from zero the marks round off the axis (or to infinity): those are left out.
    const double along = (t - first) / span;
    if (!(along >= -0.01 && along <= 1.01)) continue;
    const float x = left + static_cast<float>(along) * (right - left);
    Line(image, budget, x, bottom, x, bottom + 4 * scale, axis);
    Text(image, budget, x - 4 * scale, bottom + 7 * scale, Short(t), scale, axis);
  }
  Text(image, budget, left, bottom + 18 * scale, "time (ticks)", scale, axis);
  Text(image, budget, left, 3 * scale, title, scale, axis);
}

// A name as the small font can draw it: printable ASCII, at most 24 characters.
std::string Drawable(const std::string& name) {
  std::string out;
  for (const char c : name) {
    if (out.size() == 24) return out + "...";
    out += c >= 32 && c < 127 ? c : '?';
  }
  return out;
}

// The skeleton posed at `ticks`, seen from the front (x right, y up), in the right half
// of the picture: bones as lines from each node to its parent, joints as dots. The
// scale holds for the whole animation (the widest of poses across its keys), so limbs
// keep their lengths between pictures; each picture is centred on its own pose.
void DrawSkeleton(Image& image, Budget& budget, const report::Report& report, std::size_t a,
                  const reader::Animation& keys, double first, double last, double ticks, double seconds) {
  const std::vector<report::Node>& skeleton = report.scene.skeleton;
  const report::Animation& described = report.scene.animations[a];
  auto bounds = [](const std::vector<Point>& joints, double lo[2], double hi[2]) {
    lo[0] = lo[1] = std::numeric_limits<double>::infinity();
    hi[0] = hi[1] = -lo[0];
    for (const Point& p : joints) {
      if (!std::isfinite(p[0]) || !std::isfinite(p[1])) continue;
      lo[0] = std::min(lo[0], p[0]), hi[0] = std::max(hi[0], p[0]);
      lo[1] = std::min(lo[1], p[1]), hi[1] = std::max(hi[1], p[1]);
    }
  };
  // A pose walks every node and, at worst, every key of the animation.
  std::uint64_t work = skeleton.size() + 1;
  for (const reader::Channel channel : keys.channels) {
    work += channel.positions.size() + channel.scalings.size() + channel.rotations.size();
  }
  double extent = 0, lo[2], hi[2];
  constexpr int kSamples = 32;
  for (int i = 0; i <= kSamples && budget.Spend(work); ++i) {
    bounds(PoseAt(skeleton, described, keys, first + (last - first) * i / kSamples), lo, hi);
    if (lo[0] <= hi[0]) extent = std::max({extent, hi[0] - lo[0], hi[1] - lo[1]});
  }
  if (!budget.Spend(work)) return;
  const std::vector<Point> joints = PoseAt(skeleton, described, keys, ticks);
  bounds(joints, lo, hi);
  const float size = static_cast<float>(image.width), scale = std::max(1.0f, size / 256);
  const std::uint8_t axis[4] = {110, 110, 110, 255};
  char label[64];
  std::snprintf(label, sizeof label, seconds < 1e9 ? "pose at %.3f s" : "pose at %.6g s", seconds);
  Text(image, budget, 0.55f * size, 0.9f * size, label, scale, axis);
  if (!(lo[0] <= hi[0]) || !(extent > 0) || !std::isfinite(extent)) extent = 1;
  const double box = 0.4 * size, fit = box / extent;
  const double cx = std::isfinite(lo[0]) ? (lo[0] + hi[0]) / 2 : 0, cy = std::isfinite(lo[1]) ? (lo[1] + hi[1]) / 2 : 0;
  auto at = [&](const Point& p) {
    return V3{static_cast<float>(0.75 * size + (p[0] - cx) * fit),
              static_cast<float>(0.475 * size - (p[1] - cy) * fit), 0};
  };
  const std::uint8_t bone[4] = {60, 70, 90, 255}, joint[4] = {220, 90, 40, 255};
  const int thick = static_cast<int>(scale);
  for (std::size_t i = 0; i < joints.size() && !budget.Spent(); ++i) {
    const int parent = skeleton[i].parent;
    if (parent < 0 || static_cast<std::size_t>(parent) >= i) continue;
    const V3 p = at(joints[i]), q = at(joints[static_cast<std::size_t>(parent)]);
    if (!Finite(p) || !Finite(q)) continue;
    for (int d = 0; d < thick; ++d) Line(image, budget, p.x + d, p.y, q.x + d, q.y, bone);
  }
  const int dot = 2 * thick + 1;
  for (std::size_t i = 0; i < joints.size() && budget.Spend(static_cast<std::uint64_t>(dot) * dot); ++i) {
    const V3 p = at(joints[i]);
    if (!Finite(p) || !(std::fabs(p.x) < 1e6f && std::fabs(p.y) < 1e6f)) continue;
    for (int j = -thick; j <= thick; ++j) {
      for (int k = -thick; k <= thick; ++k) Put(image, static_cast<int>(p.x) + k, static_cast<int>(p.y) + j, joint);
    }
  }
}

// The rotation of the channel that moves most, its four quaternion components over
// time, on axes with a time scale: one readable curve set rather than every channel.
// Channels are numbered within their animation, as the viewer page numbers them. With
// a report that has the skeleton, the curves take the left half and the pose the right,
// with a cursor on the curves at its time.
bool RenderAnimation(const reader::AssetFile& asset, Image& image, std::string* error,
                     const report::Report* report, double seconds) {
  reader::Channel busiest;
  std::size_t busiestAnimation = 0, busiestIndex = 0;
  double most = -1;
  for (std::size_t n = 0; n < asset.animations.size(); ++n) {
    const reader::ChannelList& channels = asset.animations[n].channels;
    for (std::size_t index = 0; index < channels.size(); ++index) {
      const reader::Channel channel = channels[index];
      double motion = 0;
      for (std::size_t k = 1; k < channel.rotations.size(); ++k) {
        const reader::Key& a = channel.rotations[k - 1];
        const reader::Key& b = channel.rotations[k];
        const double step = std::fabs(b.x - a.x) + std::fabs(b.y - a.y) + std::fabs(b.z - a.z) + std::fabs(b.w - a.w);
        if (std::isfinite(step)) motion += step;
      }
      if (!channel.rotations.empty() && motion > most) {
        most = motion;
        busiestAnimation = n;
        busiestIndex = index;
        busiest = channel;
      }
    }
  }
  double first = std::numeric_limits<double>::infinity(), last = -first;
  for (const reader::Key& key : busiest.rotations) {
    if (!std::isfinite(key.time)) continue;
    first = std::min(first, key.time), last = std::max(last, key.time);
  }
  if (!(first <= last)) {
    *error = "the animation has no rotation keys to draw";
    return false;
  }
  // The report describes the asset's animations in order; one that does not is not used.
  const report::Animation* described =
      report != nullptr && report->scene.animations.size() == asset.animations.size()
          ? &report->scene.animations[busiestAnimation] : nullptr;
  const bool posed = described != nullptr && !report->scene.skeleton.empty();
  std::string title = "Animation " + std::to_string(busiestAnimation) + " / Channel " + std::to_string(busiestIndex);
  if (described != nullptr && busiestIndex < described->channels.size()) {
    title += " - " + Drawable(described->channels[busiestIndex].node);
  }
  Budget budget;
  const float size = static_cast<float>(image.width), width = posed ? size / 2 : size;
  Axes(image, budget, first, last, title + "\nrotation (x y z w)", width);
  const double span = last > first ? last - first : 1;
  // The span of the time axis in pixels, written as it was before a pose could share the
  // picture, so a picture without one keeps its pixels.
  const double across = posed ? 0.97 * width - 0.1 * size : 0.87 * size;
  auto at = [&](double time, float value) {
    return V3{static_cast<float>(0.1 * size + across * (time - first) / span),
              0.475f * size - 0.375f * size * std::clamp(value, -1.0f, 1.0f), 0};
  };
  static const std::uint8_t kColors[4][4] = {
      {220, 70, 60, 255}, {70, 170, 80, 255}, {60, 110, 220, 255}, {150, 90, 190, 255}};
  const reader::KeySpan& keys = busiest.rotations;
  for (std::size_t k = 1; k < keys.size() && budget.Spend(1); ++k) {
    const float av[4] = {keys[k - 1].x, keys[k - 1].y, keys[k - 1].z, keys[k - 1].w};
    const float bv[4] = {keys[k].x, keys[k].y, keys[k].z, keys[k].w};
    for (int c = 0; c < 4; ++c) {
      const V3 p = at(keys[k - 1].time, av[c]), q = at(keys[k].time, bv[c]);
      if (Finite(p) && Finite(q)) Line(image, budget, p.x, p.y, q.x, q.y, kColors[c]);
    }
  }
  if (posed) {
    const double ticks = seconds * TicksPerSecond(*described);
    const std::uint8_t cursor[4] = {240, 160, 30, 255};
    if (ticks >= first && ticks <= last) {
      const V3 top = at(ticks, 1), bottom = at(ticks, -1);
      Line(image, budget, top.x, top.y, bottom.x, bottom.y, cursor);
    }
    DrawSkeleton(image, budget, *report, busiestAnimation, asset.animations[busiestAnimation], first, last, ticks,
                 seconds);
  }
  if (budget.Spent()) {
    *error = Budget::TooCostly(image.width);
    return false;
  }
  return true;
}

// The peaks of a sound over time, one column each, all channels together. Samples
// come as signed 16-bit; at most 2^27 of them (23 minutes of 48 kHz stereo) are drawn.
class Waveform {
 public:
  Waveform(std::uint64_t samples, int columns) : samples_(std::max<std::uint64_t>(samples, 1)), low_(columns, 0), high_(columns, 0) {}
  // A sample covers its share of the columns: at least one, several for a short sound.
  void Add(std::int16_t value) {
    const std::uint64_t columns = low_.size();
    const std::uint64_t first = std::min(columns - 1, seen_ * columns / samples_);
    const std::uint64_t next = (seen_ + 1) * columns / samples_;  // the next sample's column
    const std::uint64_t last = std::min(columns - 1, next > first + 1 ? next - 1 : first);
    // Each column also reaches the sample before it, so a short sound reads as one
    // connected curve rather than loose dashes.
    const std::int16_t previous = seen_ > 0 ? last_ : value;
    for (std::uint64_t c = first; c <= last; ++c) {
      low_[c] = std::min({low_[c], value, previous});
      high_[c] = std::max({high_[c], value, previous});
    }
    last_ = value;
    ++seen_;
  }
  void Draw(Image& image) const {
    const std::uint8_t wave[4] = {60, 110, 220, 255}, axis[4] = {180, 180, 180, 255};
    const int middle = image.height / 2;
    for (int x = 0; x < image.width; ++x) Put(image, x, middle, axis);
    for (std::size_t c = 0; c < low_.size(); ++c) {
      const int top = middle - static_cast<int>(high_[c] * (image.height * 0.45) / 32768);
      const int bottom = middle - static_cast<int>(low_[c] * (image.height * 0.45) / 32768);
      for (int y = top; y <= bottom; ++y) Put(image, static_cast<int>(c), y, wave);
    }
  }

 private:
  std::uint64_t samples_, seen_ = 0;
  std::int16_t last_ = 0;
  std::vector<std::int16_t> low_, high_;
};

constexpr std::uint64_t kMostSamples = std::uint64_t{1} << 27;

std::uint32_t Le32(const std::uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | std::uint32_t{p[3]} << 24; }

// PCM WAV of 8 or 16 bits: the samples of its data chunk.
bool WavWaveform(const std::vector<std::uint8_t>& data, Image& image, std::string* error) {
  int bits = 0;
  const std::uint8_t* samples = nullptr;
  std::size_t length = 0;
  for (std::size_t at = 12; at + 8 <= data.size();) {
    const std::uint32_t size = Le32(&data[at + 4]);
    const std::size_t body = at + 8, available = std::min<std::size_t>(size, data.size() - body);
    if (std::memcmp(&data[at], "fmt ", 4) == 0 && available >= 16) {
      if ((data[body] | data[body + 1] << 8) != 1) break;  // not PCM
      bits = data[body + 14] | data[body + 15] << 8;
    } else if (std::memcmp(&data[at], "data", 4) == 0) {
      samples = &data[body];
      length = available;
    }
    at = body + size + (size & 1);
    if (size > data.size()) break;
  }
  if (samples == nullptr || (bits != 8 && bits != 16)) {
    *error = "the sound cannot be drawn: only PCM WAV of 8 or 16 bits is drawn";
    return false;
  }
  const std::size_t count = std::min<std::uint64_t>(length / (bits / 8), kMostSamples);
  Waveform wave(count, image.width);
  for (std::size_t i = 0; i < count; ++i) {
    wave.Add(bits == 16 ? static_cast<std::int16_t>(samples[2 * i] | samples[2 * i + 1] << 8)
                        : static_cast<std::int16_t>((samples[i] - 128) * 256));
  }
  wave.Draw(image);
  return true;
}

bool RenderSound(const reader::AssetFile& asset, Image& image, std::string* error) {
  const std::vector<std::uint8_t>& data = asset.data;
  if (data.size() >= 12 && std::memcmp(data.data(), "RIFF", 4) == 0 && std::memcmp(&data[8], "WAVE", 4) == 0) {
    return WavWaveform(data, image, error);
  }
  // Ogg Vorbis is left undrawn on purpose: the decoder at hand (stb_vorbis) shows
  // undefined behaviour on crafted files within seconds of fuzzing.
  *error = std::string("cannot draw a ") + reader::KindName(asset.kind) + " asset of this format (" +
           (asset.extension.empty() ? "no extension" : asset.extension) + "): only PCM WAV is drawn";
  return false;
}

void AppendBytes(void* context, void* data, int size) {
  auto* out = static_cast<std::string*>(context);
  out->append(static_cast<const char*>(data), static_cast<std::size_t>(size));
}

}  // namespace

bool RenderAsset(const reader::AssetFile& asset, int size, Image* image, std::string* error,
                 const report::Report* report, double seconds) {
  image->width = image->height = size;
  image->rgba.assign(static_cast<std::size_t>(size) * size * 4, 0);
  switch (asset.kind) {
    case AssetKind::Model: return RenderModel(asset, *image, error);
    case AssetKind::Texture: return RenderTexture(asset, *image, error);
    case AssetKind::Animation: return RenderAnimation(asset, *image, error, report, seconds);
    case AssetKind::Music:
    case AssetKind::Sound: return RenderSound(asset, *image, error);
  }
  *error = std::string("cannot draw a ") + reader::KindName(asset.kind) + " asset";
  return false;
}

bool WritePng(const Image& image, const std::string& path, WriteGuard& guard, std::string* error) {
  std::string png;
  if (stbi_write_png_to_func(AppendBytes, &png, image.width, image.height, 4, image.rgba.data(),
                             image.width * 4) == 0) {
    *error = "cannot encode the image as PNG";
    return false;
  }
  return WriteWhole(guard, path, png, error);
}

}  // namespace qx::examine
