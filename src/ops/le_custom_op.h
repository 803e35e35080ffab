// What the library's custom operators share: the runtime's status from a
// kernel's exceptions, and the description of an all-float CPU operator.
#pragma once

#include <cstddef>
#include <exception>

#include "onnxruntime_cxx_api.h"

namespace le {

// Runs kernel.Compute; an exception becomes the runtime's error status with
// its text, so nothing throws across the runtime's C boundary.
template <class Kernel>
OrtStatusPtr computeToStatus(Kernel& kernel, OrtKernelContext* context) {
  try {
    kernel.Compute(context);
    return nullptr;
  } catch (const Ort::Exception& e) {
    return Ort::GetApi().CreateStatus(e.GetOrtErrorCode(), e.what());
  } catch (const std::exception& e) {
    return Ort::GetApi().CreateStatus(ORT_RUNTIME_EXCEPTION, e.what());
  }
}

// An operator on the CPU EP with `Inputs` float inputs and one float output
// whose kernel needs nothing from the node; Op adds GetName().
template <class Op, class Kernel, size_t Inputs>
struct FloatCpuOp : Ort::CustomOpBase<Op, Kernel, true> {
  OrtStatusPtr CreateKernelV2(const OrtApi&, const OrtKernelInfo*, void** kernel) const {
    *kernel = new Kernel();
    return nullptr;
  }
  const char* GetExecutionProviderType() const { return "CPUExecutionProvider"; }
  size_t GetInputTypeCount() const { return Inputs; }
  ONNXTensorElementDataType GetInputType(size_t) const { return ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT; }
  size_t GetOutputTypeCount() const { return 1; }
  ONNXTensorElementDataType GetOutputType(size_t) const { return ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT; }
};

}  // namespace le
