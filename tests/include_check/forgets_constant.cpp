// Forgets box.h: its constant compiles only after first.cpp.
int Forgets_constant()
{
    return fix::kSides;
}
