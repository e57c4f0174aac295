// A skeleton posed by an animation: the asset holds the channels' keys, its conversion
// report the nodes they move (names, parents, rest transforms). Both the thumbnail and
// the tests pose it this way; the viewer page does the same in its own code.
#pragma once

#include <array>
#include <vector>

#include "reader/asset_reader.h"
#include "report/report.h"

namespace qx::examine {

using Point = std::array<double, 3>;

// Where each skeleton node's origin sits at `ticks`, in the root's space, one point per
// node in the skeleton's order. A node a channel of `described` names takes its pose from
// that channel of `keys` (linear between position and scaling keys, slerp between
// rotations, the first or last key outside them; a list without keys keeps the rest
// value); every other node keeps its rest transform. Poses compose from each parent.
std::vector<Point> PoseAt(const std::vector<report::Node>& skeleton, const report::Animation& described,
                          const reader::Animation& keys, double ticks);

// The tick rate a pose is timed at: the report's, or 25 when the source does not say,
// as the viewer page takes it.
double TicksPerSecond(const report::Animation& described);

}  // namespace qx::examine
