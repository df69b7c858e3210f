#pragma once

#include "platform/Expected.h"
#include "platform/PlatformError.h"

#include <sys/types.h>

#include <string>
#include <string_view>

namespace tarnwick {

// Replaces the file at `path` with `bytes` so that a crash at any moment leaves either the old
// content or the new one: a temporary file in the same folder, flushed to disk, renamed over the
// old one, and the folder flushed. Missing folders are made with `folderMode`.
Expected<void, PlatformError> writeFileAtomically(const std::string& path, std::string_view bytes,
                                                  mode_t fileMode, mode_t folderMode);

// Makes `path` and its missing parents with `mode`.
Expected<void, PlatformError> makeFolders(const std::string& path, mode_t mode);

} // namespace tarnwick
