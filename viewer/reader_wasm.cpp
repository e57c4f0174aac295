// The reader library behind a small C interface, for WebAssembly: the viewer page
// decodes with this project's own reader rather than a second decoder in JavaScript.
//
// The page reads a file once (qx_read), takes its description as JSON, and then
// copies the large arrays (positions, indices, keys, stored bytes) straight out of
// WebAssembly memory through the pointer accessors, so a million-triangle model is
// never spelled out as text.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "examine/describe.h"
#include "examine/image.h"
#include "reader/asset_reader.h"

namespace {

struct Handle {
  qx::reader::AssetFile asset;
  bool read = false;
  std::string error;  // why not, when not read
};

char* Describe(const Handle& handle, const char* name, bool full) {
  char* text = nullptr;
  std::size_t length = 0;
  std::FILE* out = open_memstream(&text, &length);
  if (out == nullptr) return nullptr;
  {
    qx::examine::JsonWriter json(out);
    if (handle.read) {
      qx::examine::WriteJson(json, name, handle.asset, full);
    } else {
      json.BeginObject();
      json.Key("error");
      json.String(handle.error);
      json.EndObject();
    }
  }
  std::fclose(out);
  return text;
}

const qx::reader::Mesh* MeshAt(const Handle* handle, std::uint32_t mesh) {
  if (handle == nullptr || mesh >= handle->asset.meshes.size()) return nullptr;
  return &handle->asset.meshes[mesh];
}

}  // namespace

extern "C" {

// Decodes an asset file held in memory; the bytes may be freed afterwards. A file
// the reader refuses gives a handle whose description is {"error": "<the reader's
// text>"}. Close it with qx_close.
Handle* qx_read(const std::uint8_t* bytes, std::size_t size) {
  auto* handle = new Handle;
  handle->read = qx::reader::ReadAsset(bytes, size, &handle->asset, &handle->error);
  if (!handle->read) handle->asset = {};
  return handle;
}

void qx_close(Handle* handle) { delete handle; }

// What QXInspect --json (--full when full is not 0) writes for the asset, as a new
// UTF-8 string; free it with qx_free.
char* qx_json(const Handle* handle, const char* name, int full) {
  return handle == nullptr ? nullptr : Describe(*handle, name == nullptr ? "" : name, full != 0);
}

// Both steps at once, for callers that want only the text.
char* qx_describe(const std::uint8_t* bytes, std::size_t size, const char* name, int full) {
  Handle* handle = qx_read(bytes, size);
  char* text = qx_json(handle, name, full);
  qx_close(handle);
  return text;
}

void qx_free(void* text) { std::free(text); }

// Arrays of a mesh, valid until qx_close; the counts are in the description
// (vertexCount, indexCount). Positions and normals are 3 floats per vertex, texture
// coordinates 2; null when the mesh has none.
const float* qx_mesh_positions(const Handle* handle, std::uint32_t mesh) {
  const auto* m = MeshAt(handle, mesh);
  return m == nullptr || m->positions.empty() ? nullptr : &m->positions[0].x;
}
const float* qx_mesh_normals(const Handle* handle, std::uint32_t mesh) {
  const auto* m = MeshAt(handle, mesh);
  return m == nullptr || m->normals.empty() ? nullptr : &m->normals[0].x;
}
const float* qx_mesh_texture_coords(const Handle* handle, std::uint32_t mesh) {
  const auto* m = MeshAt(handle, mesh);
  return m == nullptr || m->textureCoords.empty() ? nullptr : &m->textureCoords[0].u;
}
const std::uint32_t* qx_mesh_indices(const Handle* handle, std::uint32_t mesh) {
  const auto* m = MeshAt(handle, mesh);
  return m == nullptr || m->indices.empty() ? nullptr : m->indices.data();
}

// The stored bytes of a texture, music or sound asset (dataSize in the description).
const std::uint8_t* qx_data(const Handle* handle) {
  return handle == nullptr || handle->asset.data.empty() ? nullptr : handle->asset.data.data();
}

std::uint32_t qx_channel_count(const Handle* handle, std::uint32_t animation) {
  if (handle == nullptr || animation >= handle->asset.animations.size()) return 0;
  return static_cast<std::uint32_t>(handle->asset.animations[animation].channels.size());
}

// One key list of a channel (0 positions, 1 scalings, 2 rotations): *count keys of
// 24 bytes each, a double time followed by x, y, z, w as floats.
const qx::reader::Key* qx_channel_keys(const Handle* handle, std::uint32_t animation,
                                       std::uint32_t channel, int list, std::uint32_t* count) {
  static_assert(sizeof(qx::reader::Key) == 24, "the page reads keys as 24-byte records");
  *count = 0;
  if (channel >= qx_channel_count(handle, animation)) return nullptr;
  const qx::reader::Channel c = handle->asset.animations[animation].channels[channel];
  const qx::reader::KeySpan span = list == 0 ? c.positions : list == 1 ? c.scalings : c.rotations;
  *count = static_cast<std::uint32_t>(span.size());
  return span.begin();
}

// Decodes image bytes (TGA, PNG, BMP or JPEG) as --render does, for the formats
// browsers do not show: a new buffer of 4 bytes a pixel, row by row from the top, or
// null with *error a new string saying why (the bytes are none of these, are damaged,
// or claim more pixels than are decoded). Free either with qx_free.
std::uint8_t* qx_decode_image(const std::uint8_t* bytes, std::size_t size, int* width, int* height,
                              char** error) {
  qx::examine::Image image;
  std::string why;
  if (!qx::examine::DecodeImage(bytes, size, &image, &why)) {
    *error = static_cast<char*>(std::malloc(why.size() + 1));
    if (*error != nullptr) std::memcpy(*error, why.c_str(), why.size() + 1);
    return nullptr;
  }
  auto* pixels = static_cast<std::uint8_t*>(std::malloc(image.rgba.size()));
  if (pixels == nullptr) return nullptr;
  std::memcpy(pixels, image.rgba.data(), image.rgba.size());
  *width = image.width;
  *height = image.height;
  return pixels;
}
}
