/*
 * lumo_ext.h: the extension records of the LLM runtime interface: the packed
 * init and run extensions embedded in ZOR_LLMInitConfig and ZOR_LLMRunConfig,
 * and the vision information of a projector model.
 *
 * The extensions are declared with 4-byte packing: inside the init config the
 * extension starts at offset 28, inside the run config at 12, and several of
 * their pointers sit at offsets that are multiples of 4 but not of 8. The
 * runtime reads them there, so the packing is part of the interface.
 *
 * This file needs the base enumerations of lumo.h, and lumo.h needs these
 * records; lumo.h includes this file at the point where both hold, so
 * including either header gives the whole interface.
 */
#ifndef ZOR_LUMO_H
#include "lumo.h"
#elif !defined(ZOR_LUMO_EXT_H)
#define ZOR_LUMO_EXT_H

#ifdef __cplusplus
extern "C" {
#endif

typedef enum {
  ZOR_LLM_VISION_TYPE_INVALID = -1,
  ZOR_LLM_VISION_TYPE_UINT8 = 0,
  ZOR_LLM_VISION_TYPE_INT8 = 1,
  ZOR_LLM_VISION_TYPE_UINT16 = 2,
  ZOR_LLM_VISION_TYPE_INT16 = 3,
  ZOR_LLM_VISION_TYPE_UINT32 = 4,
  ZOR_LLM_VISION_TYPE_INT32 = 5,
  ZOR_LLM_VISION_TYPE_UINT64 = 6,
  ZOR_LLM_VISION_TYPE_INT64 = 7,
  ZOR_LLM_VISION_TYPE_FP16 = 8,
  ZOR_LLM_VISION_TYPE_FP32 = 9
} ZOR_LLMVisionDataType;

ZOR_LUMO_STATIC_ASSERT(sizeof(ZOR_LLMVisionDataType) == 4, "ZOR_LLMVisionDataType is 4 bytes");
ZOR_LUMO_STATIC_ASSERT((ZOR_LLMVisionDataType)-1 < 0, "ZOR_LLMVisionDataType is signed");

#pragma pack(push, 4)

/* Init extension, 1024 bytes. */
typedef struct {
  const char* vision_model_path;     /* projector (mmproj) model file */
  const char* sampler_params_json;   /* JSON object of sampler settings */
  const char* model_name_override;   /* model type when detection is wrong */
  const char* custom_jinja_template; /* Jinja2 chat template registered at init */
  VLM_VisionProjector* mmproj_input; /* user-defined vision projector */
  const char* mmproj_config;         /* its JSON configuration */
  uint8_t reserved[976];
} ZOR_LLMInitExtend;

/* Run extension, 1024 bytes. */
typedef struct {
  uint32_t sampling_config_valid;    /* 1: the five sampling fields override init for this run */
  ZOR_LLMSamplingMode sampling_mode;
  int32_t top_k;
  float top_p;
  float temperature;
  float repeat_penalty;
  const char* sampler_params_json;
  int32_t disable_chat_template;
  const char* extra_template_params; /* JSON object */
  const char* tools_schemas;         /* JSON array of tool schemas */
  uint8_t reserved[972];
} ZOR_LLMRunExtend;

#pragma pack(pop)

ZOR_LUMO_STATIC_ASSERT(sizeof(ZOR_LLMInitExtend) == 1024, "ZOR_LLMInitExtend size");
ZOR_LUMO_STATIC_ASSERT(ZOR_LUMO_ALIGNOF(ZOR_LLMInitExtend) == 4, "ZOR_LLMInitExtend alignment");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMInitExtend, vision_model_path) == 0, "vision_model_path offset");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMInitExtend, sampler_params_json) == 8, "sampler_params_json offset");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMInitExtend, model_name_override) == 16, "model_name_override offset");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMInitExtend, custom_jinja_template) == 24, "custom_jinja_template offset");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMInitExtend, mmproj_input) == 32, "mmproj_input offset");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMInitExtend, mmproj_config) == 40, "mmproj_config offset");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMInitExtend, reserved) == 48, "init reserved offset");

ZOR_LUMO_STATIC_ASSERT(sizeof(ZOR_LLMRunExtend) == 1024, "ZOR_LLMRunExtend size");
ZOR_LUMO_STATIC_ASSERT(ZOR_LUMO_ALIGNOF(ZOR_LLMRunExtend) == 4, "ZOR_LLMRunExtend alignment");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMRunExtend, sampling_config_valid) == 0, "sampling_config_valid offset");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMRunExtend, sampling_mode) == 4, "run sampling_mode offset");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMRunExtend, top_k) == 8, "run top_k offset");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMRunExtend, top_p) == 12, "run top_p offset");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMRunExtend, temperature) == 16, "run temperature offset");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMRunExtend, repeat_penalty) == 20, "run repeat_penalty offset");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMRunExtend, sampler_params_json) == 24, "run sampler_params_json offset");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMRunExtend, disable_chat_template) == 32, "disable_chat_template offset");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMRunExtend, extra_template_params) == 36, "extra_template_params offset");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMRunExtend, tools_schemas) == 44, "tools_schemas offset");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMRunExtend, reserved) == 52, "run reserved offset");

/* Preprocessing metadata of a projector model, 96 bytes. */
typedef struct {
  char projector_type[64]; /* NUL-terminated */
  float image_mean[3];
  float image_std[3];
  int32_t patch_size;
  int32_t spatial_merge_size;
} ZOR_LLMVisionMetadata;

ZOR_LUMO_STATIC_ASSERT(sizeof(ZOR_LLMVisionMetadata) == 96, "ZOR_LLMVisionMetadata size");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMVisionMetadata, projector_type) == 0, "projector_type offset");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMVisionMetadata, image_mean) == 64, "image_mean offset");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMVisionMetadata, image_std) == 76, "image_std offset");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMVisionMetadata, patch_size) == 88, "patch_size offset");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMVisionMetadata, spatial_merge_size) == 92, "spatial_merge_size offset");

/* One input tensor of the vision encoder, 152 bytes. */
typedef struct {
  int32_t index;
  char name[128];
  ZOR_LLMVisionDataType type;
  int32_t height;
  int32_t width;
  int32_t channels;
  int32_t size;
} ZOR_LLMVisionTensorInfo;

ZOR_LUMO_STATIC_ASSERT(sizeof(ZOR_LLMVisionTensorInfo) == 152, "ZOR_LLMVisionTensorInfo size");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMVisionTensorInfo, index) == 0, "index offset");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMVisionTensorInfo, name) == 4, "name offset");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMVisionTensorInfo, type) == 132, "tensor type offset");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMVisionTensorInfo, height) == 136, "tensor height offset");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMVisionTensorInfo, width) == 140, "tensor width offset");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMVisionTensorInfo, channels) == 144, "channels offset");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMVisionTensorInfo, size) == 148, "tensor size offset");

/* Vision information of a context, 120 bytes. */
typedef struct {
  int32_t n_input;
  ZOR_LLMVisionTensorInfo* input; /* n_input entries */
  ZOR_LLMVisionMetadata metadata;
  int32_t has_metadata;           /* non-zero: metadata is filled */
} ZOR_LLMVisionInfo;

ZOR_LUMO_STATIC_ASSERT(sizeof(ZOR_LLMVisionInfo) == 120, "ZOR_LLMVisionInfo size");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMVisionInfo, n_input) == 0, "n_input offset");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMVisionInfo, input) == 8, "input offset");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMVisionInfo, metadata) == 16, "metadata offset");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMVisionInfo, has_metadata) == 112, "has_metadata offset");

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* ZOR_LUMO_EXT_H */
