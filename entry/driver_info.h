// Driver information for the host: context size, default line, banner.
#pragma once

#include <cstdint>

#include "entry/qor_interface.h"

int32_t GetQorInfo(const QorRequest *request);
