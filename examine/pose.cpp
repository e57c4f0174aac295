#include "examine/pose.h"

#include <cmath>
#include <map>
#include <string>

namespace qx::examine {
namespace {

using Quaternion = std::array<double, 4>;  // x y z w

// Rows of a rotation-scale part and a translation: p -> m * p.
struct Affine {
  double m[3][4];
};

Affine Multiply(const Affine& a, const Affine& b) {
  Affine out{};
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 4; ++c) {
      out.m[r][c] = a.m[r][0] * b.m[0][c] + a.m[r][1] * b.m[1][c] + a.m[r][2] * b.m[2][c] + (c == 3 ? a.m[r][3] : 0);
    }
  }
  return out;
}

// A rotation that cannot be turned into unit length (zero, NaN) is none at all.
Quaternion Unit(Quaternion q) {
  const double length = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
  if (!(length > 0) || !std::isfinite(length)) return {0, 0, 0, 1};
  for (double& c : q) c /= length;
  return q;
}

// Scale first, then rotation, then translation: how Assimp composes a node's transform.
Affine Compose(const Point& t, Quaternion q, const Point& s) {
  q = Unit(q);
  const double x = q[0], y = q[1], z = q[2], w = q[3];
  const double r[3][3] = {{1 - 2 * (y * y + z * z), 2 * (x * y - z * w), 2 * (x * z + y * w)},
                          {2 * (x * y + z * w), 1 - 2 * (x * x + z * z), 2 * (y * z - x * w)},
                          {2 * (x * z - y * w), 2 * (y * z + x * w), 1 - 2 * (x * x + y * y)}};
  Affine out{};
  for (int row = 0; row < 3; ++row) {
    for (int c = 0; c < 3; ++c) out.m[row][c] = r[row][c] * s[c];
    out.m[row][3] = t[row];
  }
  return out;
}

Quaternion Slerp(Quaternion a, Quaternion b, double f) {
  a = Unit(a), b = Unit(b);
  double dot = a[0] * b[0] + a[1] * b[1] + a[2] * b[2] + a[3] * b[3];
  if (dot < 0) {  // the shorter way round
    for (double& c : b) c = -c;
    dot = -dot;
  }
  double wa = 1 - f, wb = f;
  if (dot < 0.9995) {  // nearly equal rotations: a straight line, normalised, is as good
    const double angle = std::acos(dot), sine = std::sin(angle);
    wa = std::sin((1 - f) * angle) / sine;
    wb = std::sin(f * angle) / sine;
  }
  return Unit({wa * a[0] + wb * b[0], wa * a[1] + wb * b[1], wa * a[2] + wb * b[2], wa * a[3] + wb * b[3]});
}

// The keys around `ticks`: before and after, and how far between them (0 at before).
// Outside the keys both are the nearest end. Keys are in time order as the converter
// writes them; times that do not compare (NaN) only pick a key, never read past the list.
struct Between {
  const reader::Key* before;
  const reader::Key* after;
  double f;
};

Between Around(const reader::KeySpan& keys, double ticks) {
  std::size_t next = 0;
  while (next < keys.size() && !(keys[next].time > ticks)) ++next;
  if (next == 0) return {&keys[0], &keys[0], 0};
  if (next == keys.size()) return {&keys[next - 1], &keys[next - 1], 0};
  const reader::Key& a = keys[next - 1];
  const reader::Key& b = keys[next];
  const double f = (ticks - a.time) / (b.time - a.time);
  return {&a, &b, std::isfinite(f) ? std::fmin(std::fmax(f, 0.0), 1.0) : 0};
}

Point Vector(const reader::KeySpan& keys, double ticks, const Point& rest) {
  if (keys.empty()) return rest;
  const Between k = Around(keys, ticks);
  return {k.before->x + (k.after->x - double(k.before->x)) * k.f,
          k.before->y + (k.after->y - double(k.before->y)) * k.f,
          k.before->z + (k.after->z - double(k.before->z)) * k.f};
}

Quaternion Rotation(const reader::KeySpan& keys, double ticks, const Quaternion& rest) {
  if (keys.empty()) return rest;
  const Between k = Around(keys, ticks);
  return Slerp({k.before->x, k.before->y, k.before->z, k.before->w},
               {k.after->x, k.after->y, k.after->z, k.after->w}, k.f);
}

}  // namespace

std::vector<Point> PoseAt(const std::vector<report::Node>& skeleton, const report::Animation& described,
                          const reader::Animation& keys, double ticks) {
  std::map<std::string, std::size_t> channelOf;  // the first channel naming a node moves it
  for (std::size_t c = 0; c < described.channels.size() && c < keys.channels.size(); ++c) {
    channelOf.emplace(described.channels[c].node, c);
  }
  std::vector<Affine> placed;
  std::vector<Point> joints;
  placed.reserve(skeleton.size());
  joints.reserve(skeleton.size());
  for (std::size_t i = 0; i < skeleton.size(); ++i) {
    const report::Node& node = skeleton[i];
    Affine local;
    const auto found = channelOf.find(node.name);
    if (found == channelOf.end()) {
      local = Compose(node.translation, node.rotation, node.scale);
    } else {
      const reader::Channel channel = keys.channels[found->second];
      local = Compose(Vector(channel.positions, ticks, node.translation),
                      Rotation(channel.rotations, ticks, node.rotation),
                      Vector(channel.scalings, ticks, node.scale));
    }
    // A report read back has each parent before its child; any other index is a root.
    const bool child = node.parent >= 0 && static_cast<std::size_t>(node.parent) < i;
    placed.push_back(child ? Multiply(placed[static_cast<std::size_t>(node.parent)], local) : local);
    joints.push_back({placed.back().m[0][3], placed.back().m[1][3], placed.back().m[2][3]});
  }
  return joints;
}

double TicksPerSecond(const report::Animation& described) {
  const double rate = described.ticksPerSecond;
  return rate > 0 && std::isfinite(rate) ? rate : 25;
}

}  // namespace qx::examine
