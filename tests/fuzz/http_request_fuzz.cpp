// The model stand-in's HTTP reader on arbitrary bytes, fed in two pieces cut at the first byte's
// value, so that requests split anywhere are read too.
#include "model-stand-in/HttpRequestReader.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    const std::size_t cut = std::min<std::size_t>(data[0], bytes.size());
    tarnwick::HttpRequestReader reader;
    reader.append(bytes.substr(0, cut));
    while (reader.next()) {
    }
    reader.append(bytes.substr(cut));
    while (auto request = reader.next()) {
        (void)request->header("content-length");
    }
    return 0;
}
