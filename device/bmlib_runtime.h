/*
 * Device library interface, as implemented by the simulated device.
 *
 * The declarations follow the device library that Vexo drives, so that the
 * library built against this header runs unchanged against the vendor's
 * library on a machine with the processor. See docs/simulated-device.md.
 */
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(BMLIB_BUILDING)
#define BMLIB_API __attribute__((visibility("default")))
#else
#define BMLIB_API
#endif

typedef enum {
  BM_SUCCESS = 0,
  BM_ERR_DEVNOTREADY = 1,
  BM_ERR_FAILURE = 2,
  BM_ERR_TIMEOUT = 3,
  BM_ERR_PARAM = 4,
  BM_ERR_NOMEM = 5,
  BM_ERR_DATA = 6,
  BM_ERR_BUSY = 7,
  BM_ERR_NOFEATURE = 8,
  BM_NOT_SUPPORTED = 9
} bm_status_t;

struct bm_context;
typedef struct bm_context* bm_handle_t;

struct tpu_kernel_module;
typedef struct tpu_kernel_module* tpu_kernel_module_t;
typedef int tpu_kernel_function_t;

typedef union {
  struct {
    unsigned int mem_type : 3;
    unsigned int gmem_heapid : 3;
    unsigned int reserved : 26;
  } u;
  unsigned int rawflags;
} bm_mem_flags_t;

typedef union {
  struct {
    unsigned long long device_addr;
    unsigned int reserved;
    int dmabuf_fd;
  } device;
  struct {
    void* system_addr;
    unsigned int reserved0;
    int reserved1;
  } system;
} bm_mem_addr_u;

/* A device memory area with a 32-bit size (24 bytes). */
typedef struct bm_mem_desc {
  bm_mem_addr_u u;
  bm_mem_flags_t flags;
  unsigned int size;
} bm_mem_desc_t;
typedef struct bm_mem_desc bm_device_mem_t;

/* A device memory area with a 64-bit size (32 bytes). */
typedef struct sg_mem_desc {
  bm_mem_addr_u u;
  bm_mem_flags_t flags;
  unsigned long long size;
} sg_mem_desc_t;
typedef struct sg_mem_desc sg_device_mem_t;

/* Devices and handles */
BMLIB_API bm_status_t bm_dev_request(bm_handle_t* handle, int devid);
BMLIB_API void bm_dev_free(bm_handle_t handle);
BMLIB_API bm_status_t bm_get_status(bm_handle_t handle, int* status);
BMLIB_API bm_status_t bm_thread_sync(bm_handle_t handle);

/* Device memory */
BMLIB_API bm_status_t bm_malloc_device_byte(bm_handle_t handle, bm_device_mem_t* pmem, unsigned int size);
BMLIB_API bm_status_t sg_malloc_device_byte(bm_handle_t handle, sg_device_mem_t* pmem, unsigned long long size);
BMLIB_API bm_status_t bm_free_device(bm_handle_t handle, bm_device_mem_t mem);
BMLIB_API bm_status_t sg_free_device(bm_handle_t handle, sg_device_mem_t mem);

/* Copies between host and device, and within the device */
BMLIB_API bm_status_t bm_memcpy_s2d(bm_handle_t handle, bm_device_mem_t dst, void* src);
BMLIB_API bm_status_t bm_memcpy_s2d_partial(bm_handle_t handle, bm_device_mem_t dst, void* src, unsigned int size);
BMLIB_API bm_status_t bm_memcpy_s2d_partial_offset(bm_handle_t handle, bm_device_mem_t dst, void* src,
                                                   unsigned int size, unsigned int offset);
BMLIB_API bm_status_t sg_memcpy_s2d_partial(bm_handle_t handle, sg_device_mem_t dst, void* src,
                                            unsigned long long size);
BMLIB_API bm_status_t bm_memcpy_d2s(bm_handle_t handle, void* dst, bm_device_mem_t src);
BMLIB_API bm_status_t bm_memcpy_d2s_partial(bm_handle_t handle, void* dst, bm_device_mem_t src, unsigned int size);
BMLIB_API bm_status_t bm_memcpy_d2s_partial_offset(bm_handle_t handle, void* dst, bm_device_mem_t src,
                                                   unsigned int size, unsigned int offset);
BMLIB_API bm_status_t sg_memcpy_d2s_partial(bm_handle_t handle, void* dst, sg_device_mem_t src,
                                            unsigned long long size);
BMLIB_API bm_status_t bm_memcpy_d2d_byte(bm_handle_t handle, bm_device_mem_t dst, size_t dst_offset,
                                         bm_device_mem_t src, size_t src_offset, size_t size);

/* Kernel modules */
BMLIB_API tpu_kernel_module_t tpu_kernel_load_module(bm_handle_t handle, const char* data, size_t length);
BMLIB_API tpu_kernel_function_t tpu_kernel_get_function(bm_handle_t handle, tpu_kernel_module_t module,
                                                        const char* function);
BMLIB_API bm_status_t tpu_kernel_launch(bm_handle_t handle, tpu_kernel_function_t function, void* args,
                                        size_t size);
BMLIB_API bm_status_t tpu_kernel_unload_module(bm_handle_t handle, tpu_kernel_module_t module);

#ifdef __cplusplus
}
#endif
