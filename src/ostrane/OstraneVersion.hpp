#pragma once
// The library's version, readable without calling into it.

extern "C" {
extern const double OstraneVersionNumber;
extern const unsigned char OstraneVersionString[];
}
