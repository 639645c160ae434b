// First in the unit: includes box.h for every file after it, and is itself in order.
#include "box.h"

int First()
{
    return fix::kSides + fix::Count();
}
