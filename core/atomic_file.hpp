#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include <sys/types.h>

namespace tavelin {

// Replaces the file at `path` with `content`: written to a temporary file beside it,
// given `mode`, flushed to disk and renamed over it, so that readers see either the old
// or the whole new file. Missing folders on the way are created with mode 0700. Returns the
// reason on failure, in which case the old file is untouched.
std::optional<std::string> writeFileAtomically(const std::filesystem::path& path, std::string_view content,
                                               mode_t mode = 0600);

// Removes the temporaries writeFileAtomically leaves beside `path` when the process dies
// during a write. Only for the one process that writes the file: another writer's
// temporary is not stale.
void removeStaleTemporaries(const std::filesystem::path& path);

} // namespace tavelin
