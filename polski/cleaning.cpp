#include "polski/cleaning.h"

namespace PolskiFormat {

void RemoveDuplicates(CMap&) {}

}  // namespace PolskiFormat
