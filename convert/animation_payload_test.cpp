#include "convert/animation_payload.h"

#include <gtest/gtest.h>

#include "testing/cursor.h"
#include "testing/scenes.h"

namespace qx {
namespace {

using testing::AnimationShape;
using testing::ChannelShape;
using testing::Cursor;
using testing::Encoded;
using testing::MakeAnimationScene;
using testing::Refusal;

aiVectorKey VectorKey(double time, float x, float y, float z) {
  return aiVectorKey(time, aiVector3D(x, y, z));
}

// aiQuaternion's constructor takes w first.
aiQuatKey RotationKey(double time, float w, float x, float y, float z) {
  return aiQuatKey(time, aiQuaternion(w, x, y, z));
}

TEST(AnimationPayload, OneChannelFieldByField) {
  ChannelShape channel;
  channel.positions = {VectorKey(0, 1, 2, 3), VectorKey(0.5, 4, 5, 6)};
  channel.scalings = {VectorKey(0, 1, 1, 1)};
  channel.rotations = {RotationKey(0, 1, 0, 0, 0), RotationKey(12.25, 0.5f, 0.25f, -0.5f, 0.125f)};
  const std::string payload = Encoded(EncodeAnimation, *MakeAnimationScene({{channel}}));
  ASSERT_EQ(payload.size(), 118u);  // 2 + 2 + 6 + 40 + 20 + 48
  Cursor c(payload);
  EXPECT_EQ(c.U16(), 1);
  EXPECT_EQ(c.U16(), 1);
  EXPECT_EQ(c.U16(), 2);
  EXPECT_EQ(c.F64(), 0.0);
  EXPECT_EQ(c.F32(), 1.0f);
  EXPECT_EQ(c.F32(), 2.0f);
  EXPECT_EQ(c.F32(), 3.0f);
  EXPECT_EQ(c.F64(), 0.5);
  EXPECT_EQ(c.F32(), 4.0f);
  EXPECT_EQ(c.F32(), 5.0f);
  EXPECT_EQ(c.F32(), 6.0f);
  EXPECT_EQ(c.U16(), 1);
  c.Bytes(20);
  EXPECT_EQ(c.U16(), 2);
  // The identity rotation: time, then 0, 0, 0 and w = 1 last.
  EXPECT_EQ(c.F64(), 0.0);
  EXPECT_EQ(c.F32(), 0.0f);
  EXPECT_EQ(c.F32(), 0.0f);
  EXPECT_EQ(c.F32(), 0.0f);
  EXPECT_EQ(c.F32(), 1.0f);
  EXPECT_EQ(c.F64(), 12.25);
  EXPECT_EQ(c.F32(), 0.25f);
  EXPECT_EQ(c.F32(), -0.5f);
  EXPECT_EQ(c.F32(), 0.125f);
  EXPECT_EQ(c.F32(), 0.5f);
  EXPECT_EQ(c.remaining(), 0u);
}

TEST(AnimationPayload, ExactBytesOfAKey) {
  ChannelShape channel;
  channel.positions = {VectorKey(1.0, 2.0f, 0, 0)};
  const std::string expected(
      "\x01\x00"
      "\x01\x00"
      "\x01\x00"
      "\x00\x00\x00\x00\x00\x00\xF0\x3F"
      "\x00\x00\x00\x40"
      "\0\0\0\0"
      "\0\0\0\0"
      "\x00\x00"
      "\x00\x00",
      2 + 2 + 2 + 20 + 2 + 2);
  EXPECT_EQ(Encoded(EncodeAnimation, *MakeAnimationScene({{channel}})), expected);
}

TEST(AnimationPayload, EmptyListsAndAnimationsKeepTheirCounts) {
  ChannelShape rotationOnly;
  rotationOnly.rotations = {RotationKey(3, 1, 0, 0, 0)};
  // An animation without channels, then one whose channel has no position or
  // scaling keys.
  const std::string payload = Encoded(EncodeAnimation, *MakeAnimationScene({{}, {rotationOnly}}));
  Cursor c(payload);
  EXPECT_EQ(c.U16(), 2);
  EXPECT_EQ(c.U16(), 0);  // first animation: channel count 0 alone
  EXPECT_EQ(c.U16(), 1);
  EXPECT_EQ(c.U16(), 0);
  EXPECT_EQ(c.U16(), 0);
  EXPECT_EQ(c.U16(), 1);
  EXPECT_EQ(c.F64(), 3.0);
  c.Bytes(16);
  EXPECT_EQ(c.remaining(), 0u);
}

TEST(AnimationPayload, AnimationsAndChannelsFollowInSceneOrder) {
  std::vector<AnimationShape> animations(2);
  for (int a = 0; a < 2; ++a) {
    for (int ch = 0; ch < 3; ++ch) {
      ChannelShape channel;
      channel.positions = {VectorKey(a * 10 + ch, 0, 0, 0)};
      animations[a].push_back(channel);
    }
  }
  Cursor c(Encoded(EncodeAnimation, *MakeAnimationScene(animations)));
  EXPECT_EQ(c.U16(), 2);
  for (int a = 0; a < 2; ++a) {
    EXPECT_EQ(c.U16(), 3);
    for (int ch = 0; ch < 3; ++ch) {
      EXPECT_EQ(c.U16(), 1);
      EXPECT_EQ(c.F64(), a * 10 + ch);
      c.Bytes(12);
      EXPECT_EQ(c.U16(), 0);
      EXPECT_EQ(c.U16(), 0);
    }
  }
  EXPECT_EQ(c.remaining(), 0u);
}

TEST(AnimationPayloadRefusals, ScenesWithoutAnimations) {
  EXPECT_EQ(Refusal(EncodeAnimation, *MakeAnimationScene({})), "Model has no animations");
  auto countButNoArray = MakeAnimationScene({});
  countButNoArray->mNumAnimations = 1;
  EXPECT_EQ(Refusal(EncodeAnimation, *countButNoArray), "Model has no animations");
}

TEST(AnimationPayloadRefusals, CountsBeyondSixteenBitsNameWhatOverflowed) {
  auto animations = MakeAnimationScene({});
  animations->mNumAnimations = 65536;
  animations->mAnimations = new aiAnimation*[65536]();
  EXPECT_EQ(Refusal(EncodeAnimation, *animations), "Model has 65536 animations, more than 65535");

  auto channels = MakeAnimationScene({{}});
  channels->mAnimations[0]->mNumChannels = 70000;
  channels->mAnimations[0]->mChannels = new aiNodeAnim*[70000]();
  EXPECT_EQ(Refusal(EncodeAnimation, *channels), "Animation 0 has 70000 channels, more than 65535");

  ChannelShape channel;
  channel.scalings = {VectorKey(0, 1, 1, 1)};
  for (const char* list : {"position", "scaling", "rotation"}) {
    auto keys = MakeAnimationScene({{}, {channel, channel}});
    aiNodeAnim* target = keys->mAnimations[1]->mChannels[1];
    const std::string which = list;
    if (which == "position") target->mNumPositionKeys = 100000;
    if (which == "scaling") target->mNumScalingKeys = 100000;
    if (which == "rotation") target->mNumRotationKeys = 100000;
    EXPECT_EQ(Refusal(EncodeAnimation, *keys),
              "Animation 1 channel 1 has 100000 " + which + " keys, more than 65535");
  }
}

TEST(AnimationPayloadRefusals, NullArraysWhereCountsPromiseEntries) {
  auto nullAnimation = MakeAnimationScene({{}});
  delete nullAnimation->mAnimations[0];
  nullAnimation->mAnimations[0] = nullptr;
  EXPECT_EQ(Refusal(EncodeAnimation, *nullAnimation), "Animation 0 is null");

  auto noChannels = MakeAnimationScene({{}});
  noChannels->mAnimations[0]->mNumChannels = 2;
  EXPECT_EQ(Refusal(EncodeAnimation, *noChannels), "Animation 0 has 2 channels but no array");

  auto nullChannel = MakeAnimationScene({{ChannelShape{}}});
  delete nullChannel->mAnimations[0]->mChannels[0];
  nullChannel->mAnimations[0]->mChannels[0] = nullptr;
  EXPECT_EQ(Refusal(EncodeAnimation, *nullChannel), "Animation 0 channel 0 is null");

  auto noKeys = MakeAnimationScene({{ChannelShape{}}});
  noKeys->mAnimations[0]->mChannels[0]->mNumRotationKeys = 5;
  EXPECT_EQ(Refusal(EncodeAnimation, *noKeys),
            "Animation 0 channel 0 has 5 rotation keys but no array");
}

}  // namespace
}  // namespace qx
