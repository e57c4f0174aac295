// Draws a decoded model with three.js: one object per mesh, lit with the stored
// normals (or flat-shaded from screen-space derivatives when there are none, which
// costs nothing on the CPU however large the mesh), and an orbit camera framed on
// the bounds. Frames are drawn only when something changed, so a large model costs
// nothing while it is left alone.
import {
  AxesHelper,
  Box3,
  BufferAttribute,
  BufferGeometry,
  CanvasTexture,
  Color,
  DataTexture,
  DirectionalLight,
  DoubleSide,
  Float32BufferAttribute,
  GridHelper,
  Group,
  HemisphereLight,
  LineBasicMaterial,
  LineSegments,
  Mesh,
  MeshStandardMaterial,
  NearestFilter,
  PerspectiveCamera,
  Points,
  PointsMaterial,
  RepeatWrapping,
  Scene,
  Sphere,
  SRGBColorSpace,
  Vector2,
  Vector3,
  WebGLRenderer,
  WebGLRenderTarget,
} from 'three';
import { OrbitControls } from 'three/addons/controls/OrbitControls.js';

// Beyond this, positions overflow the GPU's 32-bit arithmetic: nothing can be drawn.
export const DRAWABLE_LIMIT = 1e30;

// At most this many normals are drawn as lines; beyond it every n-th one is.
const MAX_NORMAL_LINES = 200000;

function materialColor(index) {
  // Distinct, calm hues by material index, so meshes sharing a material match.
  return new Color().setHSL(((index * 0.618034) % 1 + 0.55) % 1, 0.35, 0.62);
}

function checkerTexture() {
  const size = 256;
  const cells = 8;
  const canvas = document.createElement('canvas');
  canvas.width = canvas.height = size;
  const g = canvas.getContext('2d');
  for (let y = 0; y < cells; ++y) {
    for (let x = 0; x < cells; ++x) {
      g.fillStyle = (x + y) % 2 ? '#f2f2f2' : '#3a3f4b';
      g.fillRect((x * size) / cells, (y * size) / cells, size / cells, size / cells);
    }
  }
  // Mark the U and V directions, so a flipped or rotated mapping is visible.
  g.fillStyle = '#e05a47';
  g.fillRect(0, size - 10, size / 2, 10);
  g.fillStyle = '#4aa564';
  g.fillRect(0, size / 2, 10, size / 2);
  const texture = new CanvasTexture(canvas);
  texture.wrapS = texture.wrapT = RepeatWrapping;
  texture.magFilter = NearestFilter;
  texture.colorSpace = SRGBColorSpace;
  return texture;
}

function geometryOf(mesh) {
  const geometry = new BufferGeometry();
  geometry.setAttribute('position', new BufferAttribute(mesh.positions, 3));
  if (mesh.normals) geometry.setAttribute('normal', new BufferAttribute(mesh.normals, 3));
  if (mesh.uvs) geometry.setAttribute('uv', new BufferAttribute(mesh.uvs, 2));
  if (mesh.indices) geometry.setIndex(new BufferAttribute(mesh.indices, 1));
  // The reader's bounds cover the finite positions only; three.js would otherwise
  // compute them again, and report NaN for a mesh holding non-finite values.
  if (mesh.bounds) {
    geometry.boundingBox = new Box3(new Vector3(...mesh.bounds.min), new Vector3(...mesh.bounds.max));
    geometry.boundingSphere = geometry.boundingBox.getBoundingSphere(new Sphere());
  } else {
    geometry.boundingSphere = new Sphere();
  }
  return geometry;
}

function normalLines(mesh, length, color) {
  const count = mesh.vertexCount;
  const step = Math.max(1, Math.ceil(count / MAX_NORMAL_LINES));
  const lines = new Float32Array(Math.ceil(count / step) * 6);
  let o = 0;
  for (let v = 0; v < count; v += step) {
    for (let c = 0; c < 3; ++c) {
      const p = mesh.positions[v * 3 + c];
      lines[o + c] = p;
      lines[o + 3 + c] = p + mesh.normals[v * 3 + c] * length;
    }
    o += 6;
  }
  const geometry = new BufferGeometry();
  geometry.setAttribute('position', new BufferAttribute(lines, 3));
  return new LineSegments(geometry, new LineBasicMaterial({ color }));
}

export class ModelView {
  constructor(canvas) {
    this.canvas = canvas;
    this.renderer = new WebGLRenderer({ canvas, antialias: true });
    this.renderer.setPixelRatio(Math.min(window.devicePixelRatio || 1, 2));
    this.scene = new Scene();
    this.camera = new PerspectiveCamera(40, 1, 0.01, 100);
    this.camera.add(new DirectionalLight(0xffffff, 2.2));
    this.scene.add(this.camera);
    this.scene.add(new HemisphereLight(0xdde6ff, 0x333028, 1.1));
    this.controls = new OrbitControls(this.camera, canvas);
    this.controls.addEventListener('change', () => this.requestRender());
    this.options = { wireframe: false, normals: false, checker: false, grid: true, zUp: false };
    // The model turns as a whole for Z-up sources; the grid and axes give scale.
    this.root = new Group();
    this.scene.add(this.root);
    this.helpers = new Group();
    this.scene.add(this.helpers);
    this.gridSpacing = 0;
    this.objects = [];
    this.normalObjects = [];
    this.checker = null;
    this.textures = new Map(); // material index -> a texture the user gave it
    this.skeleton = null; // {joints, bones, parents}: an animation's skeleton drawn over the model
    this.pending = false;
    new ResizeObserver(() => this.resize()).observe(canvas.parentElement);
  }

  setBackground(color) {
    this.scene.background = new Color(color);
    this.requestRender();
  }

  resize() {
    const box = this.canvas.parentElement.getBoundingClientRect();
    if (box.width < 1 || box.height < 1) return;
    this.renderer.setSize(box.width, box.height, false);
    this.camera.aspect = box.width / box.height;
    this.camera.updateProjectionMatrix();
    this.requestRender();
  }

  requestRender() {
    if (this.pending) return;
    this.pending = true;
    requestAnimationFrame(() => {
      this.pending = false;
      const started = performance.now();
      this.renderer.render(this.scene, this.camera);
      this.lastFrame = performance.now() - started;
      this.onFrame?.(this.lastFrame);
    });
  }

  clear() {
    for (const texture of this.textures.values()) texture.dispose();
    this.textures.clear();
    // Normals are made per mesh when first shown, so their list may have gaps.
    for (const object of [...this.objects, ...this.normalObjects.filter(Boolean)]) {
      this.root.remove(object);
      object.geometry.dispose();
      object.material.dispose();
    }
    this.objects = [];
    this.normalObjects = [];
  }

  // Shows the meshes of one model; `bounds` frames the camera.
  show(meshes, bounds) {
    this.clear();
    this.meshes = meshes;
    for (const mesh of meshes) {
      const geometry = geometryOf(mesh);
      const color = materialColor(mesh.materialIndex);
      let object;
      if (mesh.indicesPerFace === 3) {
        object = new Mesh(geometry, new MeshStandardMaterial({
          color, side: DoubleSide, roughness: 0.75, metalness: 0.05, flatShading: !mesh.normals,
        }));
      } else if (mesh.indicesPerFace === 2) {
        object = new LineSegments(geometry, new LineBasicMaterial({ color }));
      } else {
        object = new Points(geometry, new PointsMaterial({ color, size: 3, sizeAttenuation: false }));
      }
      object.userData.mesh = mesh;
      object.frustumCulled = Boolean(mesh.bounds);
      this.objects.push(object);
      this.root.add(object);
    }
    this.bounds = bounds;
    this.placeHelpers();
    this.frame();
    this.apply();
  }

  // The model's bounds and centre in the scene, after the up-axis turn.
  worldBounds() {
    const { min, max } = this.bounds ?? { min: [-1, -1, -1], max: [1, 1, 1] };
    if (!this.options.zUp) return { min, max };
    return { min: [min[0], min[2], -max[1]], max: [max[0], max[2], -min[1]] };
  }

  // A grid on the model's floor, its lines a round number of units apart (1, 10,
  // 0.1, ...), and the model's own axes at its origin (x red, y green, z blue).
  placeHelpers() {
    for (const helper of [...this.helpers.children]) {
      this.helpers.remove(helper);
      helper.geometry.dispose();
      helper.material.dispose();
    }
    const { min, max } = this.worldBounds();
    const extent = Math.max(max[0] - min[0], max[1] - min[1], max[2] - min[2]);
    if (!(extent > 0 && extent < DRAWABLE_LIMIT)) {
      this.gridSpacing = 0;
      return;
    }
    const spacing = 10 ** Math.round(Math.log10(extent / 8));
    const divisions = Math.min(400, 2 * Math.ceil((extent * 0.75) / spacing) + 2);
    const grid = new GridHelper(spacing * divisions, divisions, 0x8a93a6, 0x4a5060);
    grid.position.set(Math.round((min[0] + max[0]) / 2 / spacing) * spacing, min[1],
      Math.round((min[2] + max[2]) / 2 / spacing) * spacing);
    grid.material.transparent = true;
    grid.material.opacity = 0.55;
    const axes = new AxesHelper(extent * 0.3);
    axes.rotation.x = this.root.rotation.x;
    this.helpers.add(grid, axes);
    this.helpers.visible = this.options.grid;
    this.gridSpacing = spacing;
  }

  setVisible(index, visible) {
    this.objects[index].visible = visible;
    if (this.normalObjects[index]) this.normalObjects[index].visible = visible && this.options.normals;
    this.requestRender();
  }

  // Frames the camera on the model, or on `box` ({min, max} in the model's space).
  frame(box = null) {
    const { min, max } = box && !this.options.zUp ? box : this.worldBounds();
    const center = new Vector3((min[0] + max[0]) / 2, (min[1] + max[1]) / 2, (min[2] + max[2]) / 2);
    let radius = Math.max(1e-6, new Vector3(max[0] - min[0], max[1] - min[1], max[2] - min[2]).length() / 2);
    // Positions near float's limit overflow the extent: keep the camera usable (the
    // page says why nothing shows).
    if (!(radius < DRAWABLE_LIMIT)) {
      center.set(0, 0, 0);
      radius = 1;
    }
    const fov = (this.camera.fov * Math.PI) / 180;
    const distance = (radius / Math.sin(fov / 2)) * 1.05;
    this.camera.near = distance / 1000;
    this.camera.far = distance * 10;
    this.camera.position.copy(center).add(new Vector3(0.6, 0.45, 1).normalize().multiplyScalar(distance));
    this.camera.updateProjectionMatrix();
    this.controls.target.copy(center);
    this.controls.update();
    this.radius = radius;
    this.requestRender();
  }

  set(option, value) {
    this.options[option] = value;
    if (option === 'zUp') {
      this.root.rotation.x = value ? -Math.PI / 2 : 0;
      this.placeHelpers();
      this.frame();
    }
    this.helpers.visible = this.options.grid;
    this.apply();
  }

  // Draws the meshes of one material index with an image (RGBA pixels from the
  // reader's decoder), or without one again (null).
  setTexture(materialIndex, pixels) {
    this.textures.get(materialIndex)?.dispose();
    if (pixels) {
      const texture = new DataTexture(pixels.rgba, pixels.width, pixels.height);
      texture.wrapS = texture.wrapT = RepeatWrapping;
      texture.colorSpace = SRGBColorSpace;
      texture.needsUpdate = true;
      this.textures.set(materialIndex, texture);
    } else {
      this.textures.delete(materialIndex);
    }
    this.apply();
  }

  // An animation's skeleton: joints as points, bones as lines from each node to its
  // parent, drawn over the model (never hidden by it). `parents` per joint, -1 at a root.
  setSkeleton(parents) {
    if (this.skeleton) {
      for (const object of [this.skeleton.joints, this.skeleton.bones]) {
        this.root.remove(object);
        object.geometry.dispose();
        object.material.dispose();
      }
      this.skeleton = null;
    }
    if (!parents) return;
    const joints = new BufferGeometry();
    joints.setAttribute('position', new Float32BufferAttribute(new Float32Array(parents.length * 3), 3));
    const children = parents.map((p, i) => [p, i]).filter(([p]) => p >= 0);
    const bones = new BufferGeometry();
    bones.setAttribute('position', new Float32BufferAttribute(new Float32Array(children.length * 6), 3));
    const over = { depthTest: false, depthWrite: false, transparent: true };
    const skeleton = {
      parents,
      children,
      joints: new Points(joints, new PointsMaterial({ color: 0xe8590c, size: 6, sizeAttenuation: false, ...over })),
      bones: new LineSegments(bones, new LineBasicMaterial({ color: 0xff9f1a, ...over })),
    };
    for (const object of [skeleton.joints, skeleton.bones]) {
      object.renderOrder = 1;
      object.frustumCulled = false;
      this.root.add(object);
    }
    this.skeleton = skeleton;
  }

  // Places the joints (x, y, z each, in the skeleton's order) and the bones between them.
  poseSkeleton(positions) {
    if (!this.skeleton) return;
    const { joints, bones, children } = this.skeleton;
    joints.geometry.attributes.position.array.set(positions);
    joints.geometry.attributes.position.needsUpdate = true;
    const lines = bones.geometry.attributes.position.array;
    children.forEach(([parent, child], b) => {
      lines.set(positions.subarray(parent * 3, parent * 3 + 3), b * 6);
      lines.set(positions.subarray(child * 3, child * 3 + 3), b * 6 + 3);
    });
    bones.geometry.attributes.position.needsUpdate = true;
    this.requestRender();
  }

  // Moves the camera and its target by (dx, dy, dz), keeping the view's angle: the
  // camera follows a skeleton that walks off.
  follow(dx, dy, dz) {
    const delta = new Vector3(dx, dy, dz).applyEuler(this.root.rotation);
    this.camera.position.add(delta);
    this.controls.target.add(delta);
    this.controls.update();
    this.requestRender();
  }

  // The joint drawn nearest a point on the page, within `reach` pixels; -1 if none.
  jointAt(clientX, clientY, reach = 10) {
    if (!this.skeleton) return -1;
    const box = this.canvas.getBoundingClientRect();
    const p = this.skeleton.joints.geometry.attributes.position.array;
    const v = new Vector3();
    let best = -1;
    let nearest = reach * reach;
    this.root.updateMatrixWorld();
    for (let i = 0; i < p.length / 3; ++i) {
      v.set(p[i * 3], p[i * 3 + 1], p[i * 3 + 2]).applyMatrix4(this.root.matrixWorld).project(this.camera);
      if (v.z > 1) continue; // behind the camera
      const dx = box.left + ((v.x + 1) / 2) * box.width - clientX;
      const dy = box.top + ((1 - v.y) / 2) * box.height - clientY;
      if (dx * dx + dy * dy < nearest) {
        nearest = dx * dx + dy * dy;
        best = i;
      }
    }
    return best;
  }

  // The view as a PNG data URL, drawn now (the drawing buffer is not kept).
  snapshot() {
    this.renderer.render(this.scene, this.camera);
    return this.canvas.toDataURL('image/png');
  }

  apply() {
    const { wireframe, normals, checker } = this.options;
    if (checker && !this.checker) this.checker = checkerTexture();
    this.objects.forEach((object, i) => {
      const mesh = object.userData.mesh;
      if (object.isMesh) {
        object.material.wireframe = wireframe;
        const given = mesh.uvs ? this.textures.get(mesh.materialIndex) ?? null : null;
        const map = checker && mesh.uvs ? this.checker : given;
        if (object.material.map !== map) {
          object.material.map = map;
          object.material.color = map ? new Color(0xffffff) : materialColor(mesh.materialIndex);
          object.material.needsUpdate = true;
        }
      }
      if (normals && mesh.normals && !this.normalObjects[i]) {
        this.normalObjects[i] = normalLines(mesh, this.radius * 0.1, 0x6fb7ff);
        this.root.add(this.normalObjects[i]);
      }
      if (this.normalObjects[i]) this.normalObjects[i].visible = normals && object.visible;
    });
    this.requestRender();
  }

  // Milliseconds per frame while orbiting: each frame turns the camera a little and
  // waits until the GPU has finished drawing it.
  timeFrames(frames) {
    const gl = this.renderer.getContext();
    const pixel = new Uint8Array(4);
    const started = performance.now();
    for (let i = 0; i < frames; ++i) {
      this.camera.position.applyAxisAngle(this.camera.up, 0.05);
      this.camera.lookAt(this.controls.target);
      this.renderer.render(this.scene, this.camera);
      gl.readPixels(0, 0, 1, 1, gl.RGBA, gl.UNSIGNED_BYTE, pixel);
    }
    return (performance.now() - started) / frames;
  }

  // How many pixels of the current view are covered by the model: drawn once more
  // into an offscreen target with a transparent background, then counted.
  drawnPixels() {
    const size = this.renderer.getDrawingBufferSize(new Vector2());
    const target = new WebGLRenderTarget(size.x, size.y);
    const background = this.scene.background;
    const helpers = this.helpers.visible;
    this.scene.background = null;
    this.helpers.visible = false; // the model's pixels only
    this.renderer.setRenderTarget(target);
    this.renderer.setClearColor(0x000000, 0);
    this.renderer.clear();
    this.renderer.render(this.scene, this.camera);
    const pixels = new Uint8Array(size.x * size.y * 4);
    this.renderer.readRenderTargetPixels(target, 0, 0, size.x, size.y, pixels);
    this.renderer.setRenderTarget(null);
    this.scene.background = background;
    this.helpers.visible = helpers;
    target.dispose();
    let drawn = 0;
    for (let i = 3; i < pixels.length; i += 4) if (pixels[i] !== 0) ++drawn;
    return { drawn, total: size.x * size.y };
  }
}
