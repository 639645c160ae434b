// Forgets box.h: its enumerator compiles only after first.cpp.
int Forgets_enumerator()
{
    return int(fix::Colour::kBlue);
}
