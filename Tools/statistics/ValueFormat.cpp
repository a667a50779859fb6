// The report notations.

#include "statistics/ValueFormat.h"

#include <ostream>

namespace LmAlloc {} // namespace LmAlloc
