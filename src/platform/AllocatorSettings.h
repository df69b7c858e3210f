#pragma once

namespace tarnwick {

// Sets how glibc's allocator hands back memory, once, before the program starts any thread.
//
// By default glibc serves blocks from 128 KiB upwards with mmap() of their own, raises that
// mark as such blocks are freed, and returns the top of the heap to the system when more
// than twice the mark is free. A relay of big messages allocates and frees buffers of 64 KiB
// to a few MiB all the time (lines from Codex, envelopes, the TLS and socket buffers), so every
// message cost fresh pages and their page faults, and the cost depended on what had been
// relayed before. Fixed marks keep those buffers in the heap and keep up to `keptFreeBytes`
// of it mapped between messages; more than that is still given back.
struct AllocatorSettings {
    static constexpr int ownMappingFromBytes = 32 * 1024 * 1024;
    static constexpr int keptFreeBytes = 16 * 1024 * 1024;

    static void applyForRelay();
};

} // namespace tarnwick
