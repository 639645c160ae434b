// Reaches box.h for the files that include it.
#pragma once

#include "box.h"
