// The metadata a content cache compares, from what stat() gave: shared by
// the path query and the directory's own.
#pragma once

#include <sys/stat.h>

#include "platform/file_identity.h"

namespace tov::platform {

FileMetadata metadata_of(const struct stat& info);

}  // namespace tov::platform
