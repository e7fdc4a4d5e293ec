// CUDA entry points of the kernel set, generated from the kernel list.
#include "kernel_list.hpp"

using zel::Fp;

#define ZEL_CUDA_ENTRY(name, params, args)                                                               \
    extern "C" __global__ void name params {                                                             \
        zel::ThreadCtx t_{blockIdx.x * blockDim.x + threadIdx.x, blockIdx.y * blockDim.y + threadIdx.y}; \
        zel::name##_body(t_, ZEL_UNPAREN args);                                                          \
    }

ZEL_KERNEL_LIST(ZEL_CUDA_ENTRY)
