// The skeleton an animation moves, from its conversion report: the asset itself holds
// channels of keys only, while the report lists the animated nodes and their
// ancestors (parent before child) with each node's local rest transform. A pose at a
// time takes each node's channel keys where it has them (positions and scalings
// interpolated linearly, rotations by slerp, end values held outside the keys), its
// rest transform otherwise, and composes them down the hierarchy.
import { Matrix4, Quaternion, Vector3 } from 'three';

// The index of the last key at or before t, or -1.
export function keyBefore(times, t) {
  let lo = 0;
  let hi = times.length;
  while (lo < hi) {
    const mid = (lo + hi) >> 1;
    if (times[mid] <= t) lo = mid + 1;
    else hi = mid;
  }
  return lo - 1;
}

// The two keys around t and how far t is from the first to the second.
export function bracket(times, t) {
  const k = Math.max(0, keyBefore(times, t));
  const next = Math.min(k + 1, times.length - 1);
  const span = times[next] - times[k];
  return { k, next, f: span > 0 ? Math.min(1, Math.max(0, (t - times[k]) / span)) : 0 };
}

const numbers = (value, count) => Array.isArray(value) && value.length === count && value.every(Number.isFinite);

// The report's skeleton, checked: null when the report has none (reports before the
// field, or of a model); an error string when it is there but unusable.
export function skeletonOf(report) {
  const nodes = report?.skeleton;
  if (nodes === undefined) return null;
  if (!Array.isArray(nodes)) return 'the report\'s skeleton is not a list';
  for (const [i, node] of nodes.entries()) {
    const good = typeof node?.name === 'string' && Number.isInteger(node.parent) && node.parent >= -1 && node.parent < i
      && numbers(node.translation, 3) && numbers(node.rotation, 4) && numbers(node.scale, 3);
    if (!good) return `the report's skeleton node ${i} is not a node listed after its parent with a rest transform`;
  }
  return nodes;
}

export class Pose {
  // `channels` are the asset's channels of one animation, `named` the report's
  // channel entries of the same animation (each names its node).
  constructor(skeleton, channels, named) {
    this.skeleton = skeleton;
    const byName = new Map();
    named?.forEach((entry, c) => {
      if (c < channels.length && !byName.has(entry?.node)) byName.set(entry?.node, channels[c]);
    });
    this.channels = skeleton.map((node) => byName.get(node.name) ?? null);
    this.rest = skeleton.map((node) => ({
      t: new Vector3(...node.translation),
      r: new Quaternion(...node.rotation).normalize(),
      s: new Vector3(...node.scale),
    }));
    this.world = skeleton.map(() => new Matrix4());
    this.positions = new Float32Array(skeleton.length * 3);
  }

  // Joint positions (x, y, z per node, in the skeleton's order) at time t in ticks.
  at(t) {
    const local = new Matrix4();
    const translation = new Vector3();
    const rotation = new Quaternion();
    const scale = new Vector3();
    const a = new Quaternion();
    const b = new Quaternion();
    this.skeleton.forEach((node, i) => {
      const channel = this.channels[i];
      const rest = this.rest[i];
      translation.copy(rest.t);
      rotation.copy(rest.r);
      scale.copy(rest.s);
      if (channel) {
        lerpKeys(channel.positions, t, translation);
        lerpKeys(channel.scalings, t, scale);
        const { times, values: v } = channel.rotations;
        if (times.length) {
          const { k, next, f } = bracket(times, t);
          a.set(v[k * 4], v[k * 4 + 1], v[k * 4 + 2], v[k * 4 + 3]).normalize();
          b.set(v[next * 4], v[next * 4 + 1], v[next * 4 + 2], v[next * 4 + 3]).normalize();
          rotation.slerpQuaternions(a, b, f);
        }
      }
      local.compose(translation, rotation, scale);
      // The parent's placement applies to the node's own: world = parent × local.
      if (node.parent >= 0) this.world[i].multiplyMatrices(this.world[node.parent], local);
      else this.world[i].copy(local);
      const e = this.world[i].elements;
      this.positions.set([e[12], e[13], e[14]], i * 3);
    });
    return this.positions;
  }

  // The bounds of the joints over the whole animation, so the camera need not follow.
  bounds(start, end, samples = 48) {
    const min = [Infinity, Infinity, Infinity];
    const max = [-Infinity, -Infinity, -Infinity];
    for (let s = 0; s <= samples; ++s) {
      const p = this.at(samples > 0 ? start + ((end - start) * s) / samples : start);
      for (let i = 0; i < p.length; ++i) {
        if (!Number.isFinite(p[i])) continue;
        min[i % 3] = Math.min(min[i % 3], p[i]);
        max[i % 3] = Math.max(max[i % 3], p[i]);
      }
    }
    return min[0] <= max[0] ? { min, max } : null;
  }
}

function lerpKeys(keys, t, out) {
  const { times, values: v } = keys;
  if (times.length === 0) return;
  const { k, next, f } = bracket(times, t);
  out.set(v[k * 4] * (1 - f) + v[next * 4] * f, v[k * 4 + 1] * (1 - f) + v[next * 4 + 1] * f,
    v[k * 4 + 2] * (1 - f) + v[next * 4 + 2] * f);
}
