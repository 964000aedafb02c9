#include "launcher/app/ContentServices.h"

#include <cstdio>

#include "delivery/content/ContentDownload.h"
#include "foundation/core/Exception.h"

namespace Vel {

void ContentServices::InitContentDownload() {
    try {
        ContentDownload::InitContentDownload();
    } catch (const Exception&) {
        std::fprintf(stderr, "Trailstarter: the planet data download could not be started\n");
    }
}

void ContentServices::RescanContent() {
    try {
        ContentDownload::RescanContent();
    } catch (const Exception&) {
        // A damaged archive is found again by the download that follows, which repairs it.
        std::fprintf(stderr, "Trailstarter: the planet data could not be rescanned\n");
    }
}

}  // namespace Vel
