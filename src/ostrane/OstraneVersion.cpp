#include "ostrane/OstraneVersion.hpp"

// Kept equal to the project() version in CMakeLists.txt.
extern "C" {
const double OstraneVersionNumber = 0.1;
const unsigned char OstraneVersionString[] = "@(#)PROGRAM:Ostrane  PROJECT:Ostrane-0.1.0\n";
}
