// Files the program writes whole: a reader sees the old file or the new one, never a part.
#pragma once

#include "base/result.h"

#include <string>

// Writes `text` as the file `path`: into a new file beside it, flushed to the disk, then renamed
// over it. The old file (its permissions kept for the new one) stays as it was when any step
// fails; the message then names the file and the reason.
result<void> write_file_whole(const std::string& path, const std::string& text);
