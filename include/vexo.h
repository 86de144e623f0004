/*
 * Vexo's C interface: every exported function with C linkage and the records
 * that callers read field by field. Compiles as C99 and as C++. This header
 * and llm/generation.h are the only declarations of these functions: the C++
 * headers bring them into their namespaces with using-declarations, so
 * minirun::vexoruntime_init and ::vexoruntime_init are one function.
 *
 * Handles are opaque: `vexoruntime` (general runtime), `llmbase` (language
 * model) and `ModelInfo*` (a loaded model's description). Records are laid
 * out for x86-64 with natural alignment; the layout checks below hold the
 * offsets that foreign declarations rely on.
 *
 * A function that refuses a call logs one error line and returns null,
 * false, 0 or -1 (or nothing); vexo_get_last_error() gives that line's text.
 * A null handle, a null pointer the function needs and an index out of range
 * are refused so, the handle's state unchanged. Only the release functions
 * (vexotensor_destroy, vexotensor_free_device, vexoruntime_free, llm_free,
 * free_model, free_handle and the *_free functions of llm/generation.h)
 * take null silently, as free() does.
 */
#ifndef VEXO_VEXO_H
#define VEXO_VEXO_H

#include <stddef.h>
#include <stdint.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#include "bmlib_runtime.h"
#include "utils/export.h"

#ifdef __cplusplus
#define VEXO_LAYOUT(condition, what) static_assert(condition, what)
#define VEXO_ENUM_BASE : int
#else
#define VEXO_LAYOUT(condition, what) _Static_assert(condition, what)
#define VEXO_ENUM_BASE
#endif

/* ---- Element types ---- */

/* Element type codes, shared by model files, model descriptions, tensors and
   tensor files. */
typedef enum bm_data_type_e VEXO_ENUM_BASE {
  BM_FLOAT32 = 0,
  BM_FLOAT16 = 1,
  BM_INT8 = 2,
  BM_UINT8 = 3,
  BM_INT16 = 4,
  BM_UINT16 = 5,
  BM_INT32 = 6,
  BM_UINT32 = 7,
  BM_BFLOAT16 = 8,
  BM_INT4 = 9,
  BM_UINT4 = 10
} bm_data_type_t;

/* ---- Handles ---- */

#ifdef __cplusplus
namespace divudida { struct ModelInfo; }
namespace minirun { struct VexoRuntime; }
namespace llmrun { struct LLMBase; }
typedef divudida::ModelInfo ModelInfo;
typedef minirun::VexoRuntime* vexoruntime;
typedef llmrun::LLMBase* llmbase;
#else
typedef struct ModelInfo ModelInfo;
typedef struct VexoRuntime* vexoruntime;
#define VEXO_LLMBASE_DECLARED
typedef struct LLMBase* llmbase;
#endif

/* ---- The tensor record ---- */

#define VEXO_TENSOR_NAME_CAPACITY 128 /* 127 characters and the NUL */
#define VEXO_TENSOR_SHAPE_SLOTS 8

#ifdef __cplusplus
namespace minitensor {
#endif
/* A name, an element type, a shape, a byte size, an optional host buffer and
   a window onto a block of device memory, with one flag per side that says
   whether that side holds the tensor's current data. Records and the host
   buffers they allocate come from the C allocator. */
struct VexoTensor {
  char name[VEXO_TENSOR_NAME_CAPACITY]; /* cut to 127 characters */
  int dtype;                            /* element type code */
  size_t size;                          /* bytes */
  size_t dims;                          /* may exceed the 8 slots of `shape` */
  uint64_t shape[VEXO_TENSOR_SHAPE_SLOTS];
  void* data;          /* host buffer of `size` bytes, or null */
  bool is_malloc_host; /* `data` was allocated by the record and is freed with it */
  bool is_have_data;   /* the host buffer holds the current data */
  int device_id;
  bm_handle_t bm_handle;
  bool is_in_device; /* the device memory holds the current data */
  uint64_t addr;     /* device_start + offset */
  /* A flattened copy of the enclosing block's descriptor. */
  uint64_t device_start;
  uint64_t device_size;
  uint64_t offset;
  int dmabuf_fd;
  uint32_t reserved;
  uint32_t rawflags;
  bool user_malloc; /* the block was made by vexotensor_malloc_device and is the record's */
};
#ifdef __cplusplus
typedef VexoTensor* vexotensor;
}  // namespace minitensor
typedef minitensor::VexoTensor VexoTensor;
#else
typedef struct VexoTensor VexoTensor;
#endif
typedef VexoTensor* vexotensor;

VEXO_LAYOUT(sizeof(VexoTensor) == 296, "VexoTensor layout");
VEXO_LAYOUT(offsetof(VexoTensor, name) == 0, "VexoTensor layout");
VEXO_LAYOUT(offsetof(VexoTensor, dtype) == 128, "VexoTensor layout");
VEXO_LAYOUT(offsetof(VexoTensor, size) == 136, "VexoTensor layout");
VEXO_LAYOUT(offsetof(VexoTensor, dims) == 144, "VexoTensor layout");
VEXO_LAYOUT(offsetof(VexoTensor, shape) == 152, "VexoTensor layout");
VEXO_LAYOUT(offsetof(VexoTensor, data) == 216, "VexoTensor layout");
VEXO_LAYOUT(offsetof(VexoTensor, is_malloc_host) == 224, "VexoTensor layout");
VEXO_LAYOUT(offsetof(VexoTensor, is_have_data) == 225, "VexoTensor layout");
VEXO_LAYOUT(offsetof(VexoTensor, device_id) == 228, "VexoTensor layout");
VEXO_LAYOUT(offsetof(VexoTensor, bm_handle) == 232, "VexoTensor layout");
VEXO_LAYOUT(offsetof(VexoTensor, is_in_device) == 240, "VexoTensor layout");
VEXO_LAYOUT(offsetof(VexoTensor, addr) == 248, "VexoTensor layout");
VEXO_LAYOUT(offsetof(VexoTensor, device_start) == 256, "VexoTensor layout");
VEXO_LAYOUT(offsetof(VexoTensor, device_size) == 264, "VexoTensor layout");
VEXO_LAYOUT(offsetof(VexoTensor, offset) == 272, "VexoTensor layout");
VEXO_LAYOUT(offsetof(VexoTensor, dmabuf_fd) == 280, "VexoTensor layout");
VEXO_LAYOUT(offsetof(VexoTensor, reserved) == 284, "VexoTensor layout");
VEXO_LAYOUT(offsetof(VexoTensor, rawflags) == 288, "VexoTensor layout");
VEXO_LAYOUT(offsetof(VexoTensor, user_malloc) == 292, "VexoTensor layout");

/* The device library's descriptor of a device area, as records hold it. */
VEXO_LAYOUT(sizeof(bm_device_mem_t) == 24, "bm_device_mem_t layout");
VEXO_LAYOUT(offsetof(bm_device_mem_t, u.device.device_addr) == 0, "bm_device_mem_t layout");
VEXO_LAYOUT(offsetof(bm_device_mem_t, u.device.reserved) == 8, "bm_device_mem_t layout");
VEXO_LAYOUT(offsetof(bm_device_mem_t, u.device.dmabuf_fd) == 12, "bm_device_mem_t layout");
VEXO_LAYOUT(offsetof(bm_device_mem_t, flags) == 16, "bm_device_mem_t layout");
VEXO_LAYOUT(offsetof(bm_device_mem_t, size) == 20, "bm_device_mem_t layout");

/* ---- The flat model description ---- */

#ifdef __cplusplus
constexpr size_t C_MAX_NETS = 256;
constexpr size_t C_MAX_STAGES = 64;
constexpr size_t C_MAX_TENSORS = 64; /* inputs, and outputs, per stage */
constexpr size_t C_MAX_DIMS = 8;
constexpr size_t C_NAME_CAPACITY = 128; /* 127 characters and the NUL */
#else
#define C_MAX_NETS 256
#define C_MAX_STAGES 64
#define C_MAX_TENSORS 64
#define C_MAX_DIMS 8
#define C_NAME_CAPACITY 128
#endif

/* A device area. The field order differs from the device library's own
   descriptor. */
typedef struct C_DeviceMem {
  uint64_t addr;
  uint32_t size;
  uint32_t reserved;
  uint32_t rawflags;
  int32_t dmabuf_fd;
} C_DeviceMem;

typedef struct C_TensorInfo {
  char name[C_NAME_CAPACITY];
  int32_t data_type;
  uint64_t device_addr; /* compiled address; the device address is in the stage's *_global_addr */
  uint64_t size;
  size_t dims;
  uint64_t shape[C_MAX_DIMS];
} C_TensorInfo;

typedef struct C_StageInfo {
  size_t input_num;
  size_t output_num;
  C_TensorInfo input_tensor[C_MAX_TENSORS];
  C_TensorInfo output_tensor[C_MAX_TENSORS];
  uint64_t input_tensor_global_addr[C_MAX_TENSORS];
  uint64_t output_tensor_global_addr[C_MAX_TENSORS];
  bool io_alone;
  uint64_t io_addr;
  uint64_t io_size;
  uint64_t io_offset;
  uint64_t io_global_addr;
  uint64_t neuron_addr;
  uint64_t neuron_size;
  uint64_t neuron_offset;
  C_DeviceMem io_device; /* valid when io_alone is set */
} C_StageInfo;

typedef struct C_NetInfo {
  char name[C_NAME_CAPACITY];
  size_t stage_num;
  C_StageInfo stages[C_MAX_STAGES];
  int32_t addr_mode;
} C_NetInfo;

typedef struct C_ModelInfo {
  int32_t device_id;
  bm_handle_t bm_handle;
  size_t net_num;
  C_NetInfo nets[C_MAX_NETS];
  C_DeviceMem neuron_device;
} C_ModelInfo;

VEXO_LAYOUT(sizeof(C_DeviceMem) == 24, "C_DeviceMem layout");
VEXO_LAYOUT(offsetof(C_DeviceMem, addr) == 0, "C_DeviceMem layout");
VEXO_LAYOUT(offsetof(C_DeviceMem, size) == 8, "C_DeviceMem layout");
VEXO_LAYOUT(offsetof(C_DeviceMem, reserved) == 12, "C_DeviceMem layout");
VEXO_LAYOUT(offsetof(C_DeviceMem, rawflags) == 16, "C_DeviceMem layout");
VEXO_LAYOUT(offsetof(C_DeviceMem, dmabuf_fd) == 20, "C_DeviceMem layout");

VEXO_LAYOUT(sizeof(C_TensorInfo) == 224, "C_TensorInfo layout");
VEXO_LAYOUT(offsetof(C_TensorInfo, name) == 0, "C_TensorInfo layout");
VEXO_LAYOUT(offsetof(C_TensorInfo, data_type) == 128, "C_TensorInfo layout");
VEXO_LAYOUT(offsetof(C_TensorInfo, device_addr) == 136, "C_TensorInfo layout");
VEXO_LAYOUT(offsetof(C_TensorInfo, size) == 144, "C_TensorInfo layout");
VEXO_LAYOUT(offsetof(C_TensorInfo, dims) == 152, "C_TensorInfo layout");
VEXO_LAYOUT(offsetof(C_TensorInfo, shape) == 160, "C_TensorInfo layout");

VEXO_LAYOUT(sizeof(C_StageInfo) == 29800, "C_StageInfo layout");
VEXO_LAYOUT(offsetof(C_StageInfo, input_num) == 0, "C_StageInfo layout");
VEXO_LAYOUT(offsetof(C_StageInfo, output_num) == 8, "C_StageInfo layout");
VEXO_LAYOUT(offsetof(C_StageInfo, input_tensor) == 16, "C_StageInfo layout");
VEXO_LAYOUT(offsetof(C_StageInfo, output_tensor) == 14352, "C_StageInfo layout");
VEXO_LAYOUT(offsetof(C_StageInfo, input_tensor_global_addr) == 28688, "C_StageInfo layout");
VEXO_LAYOUT(offsetof(C_StageInfo, output_tensor_global_addr) == 29200, "C_StageInfo layout");
VEXO_LAYOUT(offsetof(C_StageInfo, io_alone) == 29712, "C_StageInfo layout");
VEXO_LAYOUT(offsetof(C_StageInfo, io_addr) == 29720, "C_StageInfo layout");
VEXO_LAYOUT(offsetof(C_StageInfo, io_size) == 29728, "C_StageInfo layout");
VEXO_LAYOUT(offsetof(C_StageInfo, io_offset) == 29736, "C_StageInfo layout");
VEXO_LAYOUT(offsetof(C_StageInfo, io_global_addr) == 29744, "C_StageInfo layout");
VEXO_LAYOUT(offsetof(C_StageInfo, neuron_addr) == 29752, "C_StageInfo layout");
VEXO_LAYOUT(offsetof(C_StageInfo, neuron_size) == 29760, "C_StageInfo layout");
VEXO_LAYOUT(offsetof(C_StageInfo, neuron_offset) == 29768, "C_StageInfo layout");
VEXO_LAYOUT(offsetof(C_StageInfo, io_device) == 29776, "C_StageInfo layout");

VEXO_LAYOUT(sizeof(C_NetInfo) == 1907344, "C_NetInfo layout");
VEXO_LAYOUT(offsetof(C_NetInfo, name) == 0, "C_NetInfo layout");
VEXO_LAYOUT(offsetof(C_NetInfo, stage_num) == 128, "C_NetInfo layout");
VEXO_LAYOUT(offsetof(C_NetInfo, stages) == 136, "C_NetInfo layout");
VEXO_LAYOUT(offsetof(C_NetInfo, addr_mode) == 1907336, "C_NetInfo layout");

VEXO_LAYOUT(sizeof(C_ModelInfo) == 488280112, "C_ModelInfo layout");
VEXO_LAYOUT(offsetof(C_ModelInfo, device_id) == 0, "C_ModelInfo layout");
VEXO_LAYOUT(offsetof(C_ModelInfo, bm_handle) == 8, "C_ModelInfo layout");
VEXO_LAYOUT(offsetof(C_ModelInfo, net_num) == 16, "C_ModelInfo layout");
VEXO_LAYOUT(offsetof(C_ModelInfo, nets) == 24, "C_ModelInfo layout");
VEXO_LAYOUT(offsetof(C_ModelInfo, neuron_device) == 488280088, "C_ModelInfo layout");

/* ---- Introspection ---- */

/* One input or output of a stage, without capacities: the whole name and
   every dimension. The pointers stay valid until vexoruntime_free. */
typedef struct vexo_tensor_desc {
  const char* name;
  int dtype; /* element type code */
  size_t dims;
  const uint64_t* shape; /* `dims` entries */
  uint64_t size;         /* bytes */
} vexo_tensor_desc;

VEXO_LAYOUT(sizeof(vexo_tensor_desc) == 40, "vexo_tensor_desc layout");
VEXO_LAYOUT(offsetof(vexo_tensor_desc, dtype) == 8, "vexo_tensor_desc layout");
VEXO_LAYOUT(offsetof(vexo_tensor_desc, dims) == 16, "vexo_tensor_desc layout");
VEXO_LAYOUT(offsetof(vexo_tensor_desc, shape) == 24, "vexo_tensor_desc layout");
VEXO_LAYOUT(offsetof(vexo_tensor_desc, size) == 32, "vexo_tensor_desc layout");

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Errors ---- */

/* The text of the newest error line the library logged on the calling
   thread (without colour, time stamp or tag), or "" when there was none
   since the thread started. The text stays valid until the thread's next
   error line; nothing is for the caller to free. */
VEXO_API const char* vexo_get_last_error(void);
/* Sends the library's log lines to the open file descriptor fd from now on
   (standard output by default); false, changing nothing, for a negative fd. */
VEXO_API bool vexo_set_log_fd(int fd);
/* Receives each log line that passes the LOG_LEVEL threshold: its level (1
   error, 2 warning, 3 info, 4 debug, 5 to 10 more detail) and its text as
   "<time> <tag> <message>", without colour codes or newline, valid during
   the call. Lines are handed over one at a time, whichever thread logs, and
   never in pieces; the callback must not call the library's functions. */
typedef void (*vexo_log_callback)(int level, const char* text, void* user_data);
/* Hands the library's log lines to `callback` (with `user_data`) instead of
   writing them; a null callback restores the descriptor of vexo_set_log_fd. */
VEXO_API void vexo_set_log_callback(vexo_log_callback callback, void* user_data);

/* ---- Tensors ---- */

/* A fresh record (as vexotensor_init leaves it), or null. */
VEXO_API vexotensor vexotensor_create(void);
/* Resets every field without releasing anything the record pointed at. */
VEXO_API void vexotensor_init(vexotensor tensor);
/* A record owning a new device block of `size` bytes (below 4 GiB), or null. */
VEXO_API vexotensor vexotensor_malloc_device(bm_handle_t bm_handle, size_t size);
/* Places the tensor at an offset, or at a device address, inside a block. */
VEXO_API void vexotensor_set_device_mem(vexotensor tensor, bm_device_mem_t device_mem, uint64_t tensor_offset);
VEXO_API void vexotensor_set_device_mem_by_addr(vexotensor tensor, bm_device_mem_t device_mem, uint64_t tensor_addr);
/* Frees an owned host buffer and the record; never touches device memory. */
VEXO_API void vexotensor_destroy(vexotensor tensor);
/* Frees the record's own device block (if it has one), then the record. */
VEXO_API void vexotensor_free_device(vexotensor tensor);
/* Gives the tensor `size` (its own size) bytes of host data, copied into an
   owned buffer or borrowed from the caller. */
VEXO_API void vexotensor_set_data(vexotensor tensor, void* data, size_t size, bool copy);
/* Uploads (to_device) or downloads the tensor's bytes; without `force` only
   when the other side does not hold the data yet. */
VEXO_API void vexotensor_sync(vexotensor tensor, bool to_device, bool force);
/* Prints elements start to start + len - 1 (len < 0: all) of the device
   ('d', 'D') or host ('s', 'S') copy at the debug level. */
VEXO_API void vexotensor_show(vexotensor tensor, int start, int len, char location);
/* Copies `size` bytes on the device between the tensors, at byte offsets
   relative to their own offsets. */
VEXO_API void vexotensor_d2d_bytes_offset(bm_handle_t bm_handle, vexotensor dst_tensor, vexotensor src_tensor,
                                          size_t dst_offset_bytes, size_t src_offset_bytes, size_t size);
/* Borrows `data` and uploads it. */
VEXO_API void vexotensor_s2d_bytes(vexotensor tensor, void* data, size_t size);
/* Tensor files: an 84-byte header (dtype, dims, 8 shape slots, size), then
   the data bytes. */
VEXO_API bool vexotensor_save_data(vexotensor tensor, const char* filename);
VEXO_API bool vexotensor_load_data(vexotensor tensor, const char* filename);

/* ---- The general runtime ---- */

/* A runtime with net 0, stage 0 selected; null (nothing left on the device)
   when the model cannot be loaded. */
VEXO_API vexoruntime vexoruntime_init(const char* bmodel_path, int device_id);
/* vexoruntime_init for an encrypted model file, deciphered in memory (never
   on disk) through the decryption plug-in at decrypt_lib, a shared library
   exporting "decrypt"; null when decrypt_lib is null or empty. */
VEXO_API vexoruntime vexoruntime_init_decrypt(const char* bmodel_path, int device_id, const char* decrypt_lib);
/* Selects a stage and rebuilds its input and output records; records handed
   out earlier become invalid. Bad indices keep the current selection. */
VEXO_API void vexoruntime_set_net_stage(vexoruntime runtime, size_t net_idx, size_t stage_idx);
/* The index of the net with that name; 0 (after an error line) when absent. */
VEXO_API size_t vexoruntime_get_net_num(vexoruntime runtime, const char* net_name);
/* Input ('i', 'I') or output ('o', 'O') record of the selected stage, or null. */
VEXO_API vexotensor vexoruntime_get_io_tensor(vexoruntime runtime, char io_type, size_t tensor_idx);
/* Number of inputs for 'i' or 'I', of outputs for any other letter. */
VEXO_API size_t vexoruntime_get_io_count(vexoruntime runtime, char io_type);
/* Borrows `size` (the input's size) bytes and uploads them into the input. */
VEXO_API void vexoruntime_set_input_s2d(vexoruntime runtime, size_t tensor_idx, void* data, size_t size);
/* Copies a device tensor, no larger than the input, into it on the device. */
VEXO_API void vexoruntime_set_input_d2d(vexoruntime runtime, size_t tensor_idx, vexotensor src_tensor);
/* Uploads inputs not yet on the device, runs the stage and, when asked,
   downloads every output into a host buffer owned by its record. A failed
   upload, launch or download is one error line; the outputs then hold no
   data on either side until a run succeeds, and the runtime stays usable. */
VEXO_API void vexoruntime_run(vexoruntime runtime, bool output_to_host);
/* vexoruntime_run, telling whether the run succeeded. */
VEXO_API bool vexoruntime_run_checked(vexoruntime runtime, bool output_to_host);
/* Releases the records, the model and the runtime. */
VEXO_API void vexoruntime_free(vexoruntime runtime);

/* What the model holds, for any net and stage, without selecting it and
   without touching the device. io_type is 'i'/'I' for inputs or 'o'/'O' for
   outputs. Bad handles, indices, letters and outputs give 0, null or false
   after an error line. */
VEXO_API size_t vexoruntime_get_net_count(vexoruntime runtime);
/* The net's whole name, valid until vexoruntime_free; null when out of range. */
VEXO_API const char* vexoruntime_get_net_name(vexoruntime runtime, size_t net_idx);
VEXO_API size_t vexoruntime_get_stage_count(vexoruntime runtime, size_t net_idx);
VEXO_API size_t vexoruntime_get_tensor_count(vexoruntime runtime, size_t net_idx, size_t stage_idx, char io_type);
VEXO_API bool vexoruntime_get_tensor_desc(vexoruntime runtime, size_t net_idx, size_t stage_idx, char io_type,
                                          size_t tensor_idx, vexo_tensor_desc* desc);
/* The runtime's loaded model, owned by the runtime, for convert_model_info
   and the low-level model functions. */
VEXO_API ModelInfo* vexoruntime_get_model_info(vexoruntime runtime);

/* ---- The language-model runtime ---- */

/* A ready runtime, or null when the model cannot be loaded or is not a
   language model of the expected shape. */
VEXO_API llmbase llm_init(const char* model_path, int device_id);
/* llm_init for an encrypted model, read through a decryption plug-in. */
VEXO_API llmbase llm_init_decrypt(const char* model_path, int device_id, const char* decrypt_lib);
VEXO_API size_t llm_get_seq_len(llmbase llm);
VEXO_API size_t llm_get_token_len(llmbase llm);
/* The next token after `token_len` prompt tokens (1 to seq_len); -1 after an
   error line (a null handle too: tokens are never negative). */
VEXO_API int llm_forward_first(llmbase llm, int* tokens, size_t token_len);
/* The token after the last one produced; -1 after an error line, such as
   once the caches are full, before a first pass or for a null handle. */
VEXO_API int llm_forward_next(llmbase llm);
VEXO_API void llm_free(llmbase llm);

/* ---- Low-level model functions ---- */

/* Each runs one step of the loading pipeline on a description; a failed step
   logs one error line and leaves the description refused by later steps. */
VEXO_API void move_to_device(ModelInfo* model_info_p);
VEXO_API void compile_io_addr(ModelInfo* model_info_p);
VEXO_API void fill_api_info(ModelInfo* model_info_p);
VEXO_API void run_model(ModelInfo* model_info_p, size_t net_idx, size_t stage_idx);
/* Releases the device memory, the kernel module, the reader and the device
   handle; a null description is ignored. */
VEXO_API void free_model(ModelInfo* model_info_p);

/* ---- The flat model description ---- */

/* Copies a loaded model's description into the process's one flat record and
   returns it; null (record untouched) for a model beyond a capacity. */
VEXO_API C_ModelInfo* convert_model_info(ModelInfo* model_info_p);
/* The process's one parsed model, read from `filename` on `device_id` by the
   first call that succeeds; later calls ignore their arguments. */
VEXO_API ModelInfo* get_model_info_p(const char* filename, int device_id);
/* Index of the net called `net_name` (exact, case-sensitive), or -1. */
VEXO_API int find_net_num(ModelInfo* model_info_p, const char* net_name);

/* ---- Helpers ---- */

/* A new handle for the device, owned by the caller; null when the device
   cannot be opened. */
VEXO_API bm_handle_t get_handle(int device_id);
/* Releases a handle from get_handle; a null handle is ignored. */
VEXO_API void free_handle(bm_handle_t bm_handle);
/* The status the device reports, or -1 (after an error line) when the device
   cannot be opened or queried; the handle it opens is released again. */
VEXO_API int get_device_status(int device_id);
/* For a non-zero status: prints "<msg> failed, status: <status>" straight to
   standard output and ends the process with exit status -1. */
VEXO_API void check_states_with_safe_exit(int status, const char* msg);
/* Descriptors of a device area built from plain numbers. */
VEXO_API sg_device_mem_t convert_to_sg_device_mem(uint64_t start_addr, unsigned long long size, int dmabuf_fd,
                                                  unsigned int reserve, unsigned int rawflags);
VEXO_API bm_device_mem_t convert_to_device_mem(uint64_t start_addr, unsigned int size, int dmabuf_fd,
                                               unsigned int reserve, unsigned int rawflags);
/* One element of type dtype at `from`, as a single-precision value. */
VEXO_API float convert_to_fp32(void* from, int dtype);
/* Converts `size` elements into the float array `target`. */
VEXO_API void data_convert_to_fp32(void* src, void* target, int dtype, size_t size);
/* One debug-level line with elements start to start + len - 1. */
VEXO_API void print_data_by_fp32(void* data, int size, int dtype, int start, int len);

#ifdef __cplusplus
}  // extern "C"
#endif

/* Text generation: tokenizers, host-side sampling, sessions, chat templates. */
#include "llm/generation.h"

#endif /* VEXO_VEXO_H */
