// The reader library behind a small C interface, for WebAssembly: the viewer page
// decodes with this project's own reader rather than a second decoder in JavaScript.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "examine/describe.h"
#include "reader/asset_reader.h"

extern "C" {

// Decodes an asset file held in memory and returns, as a new UTF-8 string, what
// QXInspect --json (--full when full is not 0) writes for it: one JSON object. A file
// the reader refuses gives {"error": "<the reader's text>"}. Free it with qx_free.
char* qx_describe(const std::uint8_t* bytes, std::size_t size, const char* name, int full) {
  qx::reader::AssetFile asset;
  std::string error;
  char* text = nullptr;
  std::size_t length = 0;
  std::FILE* out = open_memstream(&text, &length);
  if (out == nullptr) return nullptr;
  {
    qx::examine::JsonWriter json(out);
    if (qx::reader::ReadAsset(bytes, size, &asset, &error)) {
      qx::examine::WriteJson(json, name, asset, full != 0);
    } else {
      json.BeginObject();
      json.Key("error");
      json.String(error);
      json.EndObject();
    }
  }
  std::fclose(out);
  return text;
}

void qx_free(char* text) { std::free(text); }
}
