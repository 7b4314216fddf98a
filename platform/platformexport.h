#ifndef PLATFORMEXPORT_H
#define PLATFORMEXPORT_H

// Symbol visibility of the outside components' shared libraries.
#define PLATFORM_EXPORT __attribute__((visibility("default")))

#endif // PLATFORMEXPORT_H
