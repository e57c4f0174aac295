#include "convert/animation_payload.h"

#include <cstdint>

#include "asset/field_writer.h"
#include "format/asset_format.h"

namespace qx {
namespace {

using format::kRotationKeyWidth;
using format::kVectorKeyWidth;

std::string AnimationText(unsigned a) { return "Animation " + std::to_string(a); }

// A 16-bit count field that would be cut short makes the blocks behind it unreadable;
// refuse the scene instead.
bool CountFits(unsigned count, const std::string& owner, const char* what, std::string* error) {
  if (count <= format::kMaxCount) return true;
  *error = owner + " has " + std::to_string(count) + " " + what + ", more than " +
           std::to_string(format::kMaxCount);
  return false;
}

bool ArrayPresent(const void* array, unsigned count, const std::string& owner, const char* what,
                  std::string* error) {
  if (array != nullptr || count == 0) return true;
  *error = owner + " has " + std::to_string(count) + " " + what + " but no array";
  return false;
}

bool CheckKeys(const void* keys, unsigned count, const std::string& owner, const char* what,
               std::string* error) {
  return CountFits(count, owner, what, error) && ArrayPresent(keys, count, owner, what, error);
}

// Validates every array the writer will read and returns the payload size, or -1.
std::int64_t MeasureAnimations(const aiScene& scene, std::string* error) {
  if (scene.mAnimations == nullptr || scene.mNumAnimations == 0) {
    *error = "Model has no animations";
    return -1;
  }
  if (!CountFits(scene.mNumAnimations, "Model", "animations", error)) return -1;
  std::int64_t size = format::kCountWidth;
  for (unsigned a = 0; a < scene.mNumAnimations; ++a) {
    const aiAnimation* animation = scene.mAnimations[a];
    const std::string owner = AnimationText(a);
    if (animation == nullptr) {
      *error = owner + " is null";
      return -1;
    }
    if (!CountFits(animation->mNumChannels, owner, "channels", error) ||
        !ArrayPresent(animation->mChannels, animation->mNumChannels, owner, "channels", error)) {
      return -1;
    }
    size += format::kCountWidth;
    for (unsigned c = 0; c < animation->mNumChannels; ++c) {
      const aiNodeAnim* channel = animation->mChannels[c];
      const std::string channelOwner = owner + " channel " + std::to_string(c);
      if (channel == nullptr) {
        *error = channelOwner + " is null";
        return -1;
      }
      if (!CheckKeys(channel->mPositionKeys, channel->mNumPositionKeys, channelOwner,
                     "position keys", error) ||
          !CheckKeys(channel->mScalingKeys, channel->mNumScalingKeys, channelOwner, "scaling keys",
                     error) ||
          !CheckKeys(channel->mRotationKeys, channel->mNumRotationKeys, channelOwner,
                     "rotation keys", error)) {
        return -1;
      }
      size += static_cast<std::int64_t>(format::kMinChannelSize +
                                        kVectorKeyWidth * channel->mNumPositionKeys +
                                        kVectorKeyWidth * channel->mNumScalingKeys +
                                        kRotationKeyWidth * channel->mNumRotationKeys);
    }
  }
  if (size > format::kMaxPayloadSize) {
    *error = format::TooLargeText("Animation payload", size);
    return -1;
  }
  return size;
}

// The value of a key as the file holds it: x, y, z, and w last for rotations
// (aiQuaternion holds w first).
void WriteValue(const aiVector3D& v, FieldWriter& out) {
  out.F32(v.x);
  out.F32(v.y);
  out.F32(v.z);
}
void WriteValue(const aiQuaternion& q, FieldWriter& out) {
  out.F32(q.x);
  out.F32(q.y);
  out.F32(q.z);
  out.F32(q.w);
}

// One key list: its u16 count, then each key's f64 time and value.
template <typename Key>
void WriteKeys(const Key* keys, unsigned count, FieldWriter& out) {
  out.U16(static_cast<std::uint16_t>(count));
  for (unsigned k = 0; k < count; ++k) {
    out.F64(keys[k].mTime);
    WriteValue(keys[k].mValue, out);
  }
}

}  // namespace

bool EncodeAnimation(const aiScene& scene, ByteStream& out, std::string* error) {
  const std::int64_t size = MeasureAnimations(scene, error);
  if (size < 0) return false;
  out.OpenMemoryForWrite();
  FieldWriter writer(out.Extend(static_cast<std::int32_t>(size)));
  writer.U16(static_cast<std::uint16_t>(scene.mNumAnimations));
  for (unsigned a = 0; a < scene.mNumAnimations; ++a) {
    const aiAnimation& animation = *scene.mAnimations[a];
    writer.U16(static_cast<std::uint16_t>(animation.mNumChannels));
    for (unsigned c = 0; c < animation.mNumChannels; ++c) {
      const aiNodeAnim& channel = *animation.mChannels[c];
      WriteKeys(channel.mPositionKeys, channel.mNumPositionKeys, writer);
      WriteKeys(channel.mScalingKeys, channel.mNumScalingKeys, writer);
      WriteKeys(channel.mRotationKeys, channel.mNumRotationKeys, writer);
    }
  }
  return true;
}

}  // namespace qx
