// Forgets box.h: its type compiles only after first.cpp.
int Forgets_type()
{
    fix::Box box{1};
    return box.size;
}
