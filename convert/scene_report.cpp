#include "convert/scene_report.h"

#include <algorithm>
#include <map>

#include "convert/model_payload.h"
#include "convert/placement.h"

namespace qx {
namespace {

std::string MeshLabel(const aiScene& scene, unsigned m) {
  const aiMesh* mesh = scene.mMeshes[m];
  return "mesh " + std::to_string(m) + " \"" + (mesh != nullptr ? mesh->mName.C_Str() : "") + "\"";
}

std::vector<std::string> Primitives(unsigned types) {
  std::vector<std::string> kinds;
  if (types & aiPrimitiveType_POINT) kinds.push_back("points");
  if (types & aiPrimitiveType_LINE) kinds.push_back("lines");
  if (types & aiPrimitiveType_TRIANGLE) kinds.push_back("triangles");
  if (types & aiPrimitiveType_POLYGON) kinds.push_back("polygons");
  return kinds;
}

const char* StateName(aiAnimBehaviour state) {
  switch (state) {
    case aiAnimBehaviour_CONSTANT: return "constant";
    case aiAnimBehaviour_LINEAR: return "linear";
    case aiAnimBehaviour_REPEAT: return "repeat";
    default: return "default";
  }
}

void DescribeMaterial(const aiScene& scene, unsigned index, report::Mesh* out) {
  if (scene.mMaterials == nullptr || index >= scene.mNumMaterials || scene.mMaterials[index] == nullptr) {
    return;
  }
  const aiMaterial& material = *scene.mMaterials[index];
  aiString name;
  if (material.Get(AI_MATKEY_NAME, name) == AI_SUCCESS) out->material = name.C_Str();
  for (int type = aiTextureType_NONE + 1; type <= aiTextureType_UNKNOWN; ++type) {
    const auto textureType = static_cast<aiTextureType>(type);
    for (unsigned t = 0; t < material.GetTextureCount(textureType); ++t) {
      aiString path;
      if (material.GetTexture(textureType, t, &path) != AI_SUCCESS) continue;
      const std::string file = path.C_Str();
      if (std::find(out->textures.begin(), out->textures.end(), file) == out->textures.end()) {
        out->textures.push_back(file);
      }
    }
  }
}

void DescribeMeshes(const aiScene& source, const aiScene& encoded, report::Scene* out) {
  for (unsigned m = 0; m < encoded.mNumMeshes; ++m) {
    const aiMesh& mesh = *encoded.mMeshes[m];
    report::Mesh entry;
    entry.name = mesh.mName.C_Str();
    entry.materialIndex = mesh.mMaterialIndex;
    DescribeMaterial(source, mesh.mMaterialIndex, &entry);
    entry.vertices = mesh.mNumVertices;
    entry.faces = mesh.mFaces != nullptr ? mesh.mNumFaces : 0;
    for (unsigned f = 0; f < entry.faces; ++f) entry.indices += mesh.mFaces[f].mNumIndices;
    entry.primitives = Primitives(mesh.mPrimitiveTypes);
    entry.attributes.push_back("positions");
    if (HasNormals(mesh)) entry.attributes.push_back("normals");
    if (HasUVs(mesh)) entry.attributes.push_back("uv");
    out->meshes.push_back(std::move(entry));
  }
}

void DescribeAnimations(const aiScene& scene, report::Scene* out) {
  for (unsigned a = 0; a < scene.mNumAnimations; ++a) {
    const aiAnimation& animation = *scene.mAnimations[a];
    report::Animation entry{animation.mName.C_Str(), animation.mDuration, animation.mTicksPerSecond, {}};
    for (unsigned c = 0; c < animation.mNumChannels; ++c) {
      const aiNodeAnim& channel = *animation.mChannels[c];
      entry.channels.push_back({channel.mNodeName.C_Str(), channel.mNumPositionKeys,
                                channel.mNumRotationKeys, channel.mNumScalingKeys,
                                StateName(channel.mPreState), StateName(channel.mPostState)});
    }
    out->animations.push_back(std::move(entry));
  }
}

// Every node a channel names and its ancestors, in the scene's depth-first order, so
// each parent comes before its children. Walked with a stack of its own: a crafted
// source may nest nodes deeper than the call stack reaches.
void DescribeSkeleton(const aiScene& scene, report::Scene* out) {
  if (scene.mRootNode == nullptr) return;
  std::vector<const aiNode*> order;  // depth-first, each node before its children
  for (std::vector<const aiNode*> stack = {scene.mRootNode}; !stack.empty();) {
    const aiNode* node = stack.back();
    stack.pop_back();
    order.push_back(node);
    for (unsigned c = node->mNumChildren; c-- > 0;) {
      if (node->mChildren[c] != nullptr) stack.push_back(node->mChildren[c]);
    }
  }
  // A name held by several nodes is the first in that order, as aiNode::FindNode finds it.
  std::map<std::string, const aiNode*> byName;
  for (const aiNode* node : order) byName.emplace(node->mName.C_Str(), node);
  std::map<const aiNode*, bool> kept;  // true: a channel names it
  for (unsigned a = 0; a < scene.mNumAnimations; ++a) {
    const aiAnimation& animation = *scene.mAnimations[a];
    for (unsigned c = 0; c < animation.mNumChannels; ++c) {
      const auto found = byName.find(animation.mChannels[c]->mNodeName.C_Str());
      if (found == byName.end()) continue;
      kept[found->second] = true;
      for (const aiNode* up = found->second->mParent; up != nullptr && kept.emplace(up, false).second;) {
        up = up->mParent;
      }
    }
  }
  std::map<const aiNode*, std::int32_t> indexOf;
  for (const aiNode* node : order) {
    const auto it = kept.find(node);
    if (it == kept.end()) continue;
    report::Node entry;
    entry.name = node->mName.C_Str();
    const auto parent = indexOf.find(node->mParent);
    entry.parent = parent != indexOf.end() ? parent->second : -1;
    aiVector3D scaling, position;
    aiQuaternion rotation;
    node->mTransformation.Decompose(scaling, rotation, position);
    entry.translation = {position.x, position.y, position.z};
    entry.rotation = {rotation.x, rotation.y, rotation.z, rotation.w};
    entry.scale = {scaling.x, scaling.y, scaling.z};
    entry.animated = it->second;
    indexOf[node] = static_cast<std::int32_t>(out->skeleton.size());
    out->skeleton.push_back(std::move(entry));
  }
}

// Adds a finding when count is not 0.
void Note(std::vector<report::Finding>* list, const char* kind, std::uint64_t count,
          std::vector<std::string> concerns, const std::string& text) {
  if (count > 0) list->push_back({kind, count, std::move(concerns), text});
}

void FindPlacement(const aiScene& scene, report::Scene* out) {
  std::vector<std::string> placed;
  std::map<unsigned, unsigned> usesOf;
  for (const MeshUse& use : MeshUses(scene)) {
    ++usesOf[use.mesh];
    if (!IsIdentity(use.placement)) {
      placed.push_back(MeshLabel(scene, use.mesh) + " in node \"" + use.node + "\"");
    }
  }
  std::vector<std::string> shared;
  std::uint64_t extraUses = 0;
  for (const auto& [mesh, count] : usesOf) {
    if (count > 1) {
      shared.push_back(MeshLabel(scene, mesh) + " used by " + std::to_string(count) + " nodes");
      extraUses += count - 1;
    }
  }
  Note(&out->notCarried, "placement", placed.size(), placed,
       "these meshes are placed by their nodes (moved, turned or scaled); the asset holds them "
       "as they are before placement, so they will sit at the origin (-bake applies the placement)");
  Note(&out->notCarried, "instances", extraUses, shared,
       "these meshes are used by several nodes; the asset holds each once (-bake writes one per use)");
}

void FindMeshParts(const aiScene& scene, report::Scene* out) {
  std::uint64_t bones = 0, colors = 0, uvSets = 0, tangents = 0, morphTargets = 0;
  std::vector<std::string> withBones, withColors, withUvSets, withTangents, withMorphTargets, oddUv;
  for (unsigned m = 0; m < scene.mNumMeshes; ++m) {
    const aiMesh* mesh = scene.mMeshes[m];
    if (mesh == nullptr) continue;
    const std::string label = MeshLabel(scene, m);
    if (mesh->mNumBones > 0) {
      bones += mesh->mNumBones;
      withBones.push_back(label);
    }
    unsigned sets = 0;
    for (unsigned c = 0; c < AI_MAX_NUMBER_OF_COLOR_SETS; ++c) sets += mesh->mColors[c] != nullptr;
    if (sets > 0) {
      colors += sets;
      withColors.push_back(label);
    }
    sets = 0;
    for (unsigned t = 1; t < AI_MAX_NUMBER_OF_TEXTURECOORDS; ++t) sets += mesh->mTextureCoords[t] != nullptr;
    if (sets > 0) {
      uvSets += sets;
      withUvSets.push_back(label);
    }
    if (mesh->mTangents != nullptr) {
      ++tangents;
      withTangents.push_back(label);
    }
    if (mesh->mNumAnimMeshes > 0) {
      morphTargets += mesh->mNumAnimMeshes;
      withMorphTargets.push_back(label);
    }
    if (HasUVs(*mesh) && mesh->mNumUVComponents[0] != 2) {
      oddUv.push_back(label + " has " + std::to_string(mesh->mNumUVComponents[0]) + " components");
    }
  }
  Note(&out->notCarried, "bones", bones, withBones, "bones and their vertex weights are not stored");
  Note(&out->notCarried, "colors", colors, withColors, "vertex colour sets are not stored");
  Note(&out->notCarried, "uv-sets", uvSets, withUvSets,
       "texture coordinate sets after the first are not stored");
  Note(&out->notCarried, "tangents", tangents, withTangents,
       "tangents and bitangents are not stored (an engine computes them from normals and uv)");
  Note(&out->notCarried, "morph-targets", morphTargets, withMorphTargets, report::kMorphTargetsText);
  Note(&out->warnings, "uv-components", oddUv.size(), oddUv,
       "the asset keeps two texture coordinates per vertex (u and v); a third is dropped, a "
       "missing second reads as 0");
}

void FindSceneParts(const aiScene& scene, format::AssetKind kind, report::Scene* out) {
  Note(&out->notCarried, "cameras", scene.mNumCameras, {}, report::kCamerasText);
  Note(&out->notCarried, "lights", scene.mNumLights, {}, report::kLightsText);
  Note(&out->notCarried, "textures", scene.mNumTextures, {}, report::kEmbeddedTexturesText);
  if (kind == format::AssetKind::Model) {
    Note(&out->notCarried, "animations", scene.mNumAnimations, {},
         "a model asset holds no animations; convert the source as an anm asset too");
    return;
  }
  Note(&out->notCarried, "meshes", scene.mNumMeshes, {},
       "an animation asset holds no meshes; convert the source as an mdl asset too");
  std::uint64_t meshChannels = 0, morphChannels = 0;
  std::vector<std::string> withMesh, withMorph;
  for (unsigned a = 0; a < scene.mNumAnimations; ++a) {
    const aiAnimation& animation = *scene.mAnimations[a];
    const std::string label = "animation " + std::to_string(a) + " \"" + animation.mName.C_Str() + "\"";
    if (animation.mNumMeshChannels > 0) withMesh.push_back(label);
    if (animation.mNumMorphMeshChannels > 0) withMorph.push_back(label);
    meshChannels += animation.mNumMeshChannels;
    morphChannels += animation.mNumMorphMeshChannels;
  }
  Note(&out->notCarried, "mesh-channels", meshChannels, withMesh, "vertex animation channels are not stored");
  Note(&out->notCarried, "morph-channels", morphChannels, withMorph, "morph target channels are not stored");
}

}  // namespace

void DescribeScene(const aiScene& source, const aiScene& encoded, format::AssetKind kind,
                   bool baked, report::Scene* out) {
  if (kind == format::AssetKind::Model) {
    DescribeMeshes(source, encoded, out);
    if (!baked) FindPlacement(source, out);
    FindMeshParts(source, out);
  } else {
    DescribeAnimations(source, out);
    DescribeSkeleton(source, out);
  }
  FindSceneParts(source, kind, out);
}

}  // namespace qx
