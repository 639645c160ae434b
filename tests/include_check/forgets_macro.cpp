// Forgets box.h: its macro compiles only after first.cpp.
int Forgets_macro()
{
    return FIX_TWICE(1);
}
