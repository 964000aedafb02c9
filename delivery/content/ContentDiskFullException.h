#pragma once
// The planet data could not be written because the volume of the content folder is full. It
// names the folder and the space the content still needs, so that the player knows what to
// free and where; it is a file failure, not a damaged archive, so no repair follows it.
// The space needed is what writing every file of the job not yet in the archives takes, with
// nothing taken off for what is free now: freeing that much lets the retry write them all
// (counted in bytes; a file system that allocates whole blocks may want a block more).
// A value type, thread-safe as any value.

#include <cstdint>
#include <string>

#include "foundation/core/Exception.h"
#include "foundation/core/StringUtils.h"

namespace Vel {

class ContentDiskFullException : public FileException {
public:
    ContentDiskFullException(std::string folder, std::uint64_t bytesNeeded)
        : FileException(folder, false), folder_(std::move(folder)), bytesNeeded_(bytesNeeded) {
        errorText_ = "Not enough disk space for the planet data: it needs " + FormatByteSize(bytesNeeded_) +
                     " more on " + folder_ + ".";
    }
    ContentDiskFullException(const ContentDiskFullException&) = default;

    const std::string& GetFolder() const noexcept { return folder_; }
    std::uint64_t GetBytesNeeded() const noexcept { return bytesNeeded_; }

private:
    std::string folder_;
    std::uint64_t bytesNeeded_;
};

}  // namespace Vel
