// Reaches box.h through another header, and uses a name of its own: in order.
#include "wrapper.h"

static int Own()
{
    return 1;
}
int ThroughWrapper()
{
    return FIX_TWICE(fix::kSides) + Own() + int(fix::Colour::kRed);
}
