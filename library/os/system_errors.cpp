// SPDX-License-Identifier: MIT
// The one map between the system's errno values and the seam's error codes.
#include <cerrno>
#include <cstddef>

#include "hosted.h"

namespace vkm470::os::hosted {
namespace {

struct Pair {
  int errnoValue;
  Dword error;
};

// The first pair of each code gives the errno it maps back to.
constexpr Pair kPairs[] = {
    {ENOENT, kErrorFileNotFound},  {ENODEV, kErrorFileNotFound},    {ENXIO, kErrorFileNotFound},
    {ENOTDIR, kErrorFileNotFound}, {EACCES, kErrorAccessDenied},    {EPERM, kErrorAccessDenied},
    {EROFS, kErrorAccessDenied},   {EBUSY, kErrorSharingViolation}, {ENOMEM, kErrorNotEnoughMemory},
};

}  // namespace

Dword errorFromErrno(int errnoValue) {
  for (const Pair& pair : kPairs) {
    if (pair.errnoValue == errnoValue) return pair.error;
  }
  return kErrorGenFailure;
}

int errnoFromError(Dword error) {
  for (const Pair& pair : kPairs) {
    if (pair.error == error) return pair.errnoValue;
  }
  return EIO;
}

}  // namespace vkm470::os::hosted
