#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tarnwick {

// One notification line of a flood, as the fake app-server writes it and the benchmark decodes
// it: a streaming-delta notification padded with text to `size` bytes, the line feed included.
std::string floodLine(std::uint64_t index, std::size_t size);

} // namespace tarnwick
