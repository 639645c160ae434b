// A header that uses box.h without including it.
#pragma once

inline int Forgetful()
{
    return fix::kSides;
}
