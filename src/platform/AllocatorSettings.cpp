#include "platform/AllocatorSettings.h"

#include <malloc.h>

namespace tarnwick {

void AllocatorSettings::applyForRelay() {
#if defined(__GLIBC__)
    // Either call failing leaves glibc's own behaviour, which is correct, only slower.
    (void)mallopt(M_MMAP_THRESHOLD, ownMappingFromBytes);
    (void)mallopt(M_TRIM_THRESHOLD, keptFreeBytes);
#endif
}

} // namespace tarnwick
