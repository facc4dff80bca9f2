// The driver's heap blocks still allocated (see soak_alloc.cpp).
#pragma once

#include <cstddef>

std::size_t DriverLiveBlocks();
