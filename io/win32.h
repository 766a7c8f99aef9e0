// <windows.h> as every Windows part of the program takes it: without the parts
// it never uses, and without the min and max macros, which would break
// std::min and std::max in any file that includes it.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif
