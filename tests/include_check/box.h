// What the files of this unit use: one of each kind of name a header gives.
#pragma once

namespace fix {
constexpr int kSides = 6;
#define FIX_TWICE(x) ((x)*2)
struct Box {
    int size;
};
int Count();
enum class Colour { kRed, kBlue };
}  // namespace fix
