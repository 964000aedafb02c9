#pragma once
// The failure that makes the planet-data workers repair an archive: a Vel::Exception with an
// empty message carrying the damaged archive's path. The archive class exposes it as its
// nested CorruptException name. Copies keep the path; thread-safe as any value.

#include "foundation/core/Exception.h"

#include <string>

namespace Vel {

class ZipCorruptException : public Exception {
public:
    explicit ZipCorruptException(std::string archivePath)
        : Exception(), archivePath_(std::move(archivePath)) {}
    ZipCorruptException(const ZipCorruptException&) = default;
    const std::string& GetArchivePath() const noexcept { return archivePath_; }

private:
    std::string archivePath_;
};

}  // namespace Vel
