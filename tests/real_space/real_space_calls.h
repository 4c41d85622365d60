// The real-space tests' grid and kernel calls (shared with the other volume
// kernels' tests).
#pragma once

#include "support/kernel_calls.h"
