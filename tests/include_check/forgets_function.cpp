// Forgets box.h: its function compiles only after first.cpp.
int Forgets_function()
{
    return fix::Count();
}
