// In order itself; forgetful.h is not.
#include "forgetful.h"

int UsesForgetful()
{
    return Forgetful();
}
