#pragma once
// Kept for the reverse pass until it moves into src/solvers/fused.
#include "fused/math.h"
