// Compiles the kernel's body once per instruction set Highway targets here, and dispatches to the
// best one this CPU runs (or the one a test forces).
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "render/kernel/body.cpp"
#include <hwy/foreach_target.h>  // re-includes this file once per target
#include <hwy/highway.h>

#include "render/kernel/scheduler-inl.h"

HWY_BEFORE_NAMESPACE();
namespace fractal::kernel_detail {
namespace HWY_NAMESPACE {

void ComputeFedOnTarget(const PointFeed& feed, KernelWork& work) { ComputeFed(feed, work); }

void ComputeGroupsOnTarget(const RowTask& task, KernelWork& work) { ComputeGroups(task, work); }

}  // namespace HWY_NAMESPACE
}  // namespace fractal::kernel_detail
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace fractal::kernel_detail {

HWY_EXPORT(ComputeFedOnTarget);
HWY_EXPORT(ComputeGroupsOnTarget);

void ComputeFedBody(const PointFeed& feed, KernelWork& work) {
  HWY_DYNAMIC_DISPATCH(ComputeFedOnTarget)(feed, work);
}

void ComputeGroupsBody(const RowTask& task, KernelWork& work) {
  HWY_DYNAMIC_DISPATCH(ComputeGroupsOnTarget)(task, work);
}

}  // namespace fractal::kernel_detail
#endif  // HWY_ONCE
