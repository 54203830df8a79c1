// GNUstep's headers expect libobjc2's blocks header; Debian ships the
// blocks runtime as a separate library with its own Block.h.
#include <Block.h>
