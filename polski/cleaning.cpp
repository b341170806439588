#include "polski/cleaning.h"

namespace PolskiFormat {

void RemoveJitters(CMap&) {}
void RemoveDuplicates(CMap&) {}
void Generalize(CMap&) {}

}  // namespace PolskiFormat
