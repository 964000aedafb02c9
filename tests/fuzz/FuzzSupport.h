#pragma once
// Helpers shared by the fuzz targets: a scratch folder of the process's own for the readers
// that take a path, and the one way a target reports a broken property.
//
// Contract: a fuzz process runs one input at a time on one thread; nothing here locks. The
// scratch folder is made at the first call, lives below the system temporary folder (TMPDIR)
// and is removed when the process exits normally.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <unistd.h>

namespace FuzzSupport {

inline const std::filesystem::path& ScratchFolder() {
    static const std::filesystem::path folder = [] {
        std::filesystem::path made =
            std::filesystem::temp_directory_path() / ("trailstarter-fuzz-" + std::to_string(::getpid()));
        std::filesystem::create_directories(made);
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(ScratchFolder(), ignored);
        });
        return made;
    }();
    return folder;
}

// Replaces the file with exactly the given bytes.
inline void WriteFile(const std::filesystem::path& path, const std::uint8_t* data, std::size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out) {
        std::fprintf(stderr, "fuzz: cannot write %s\n", path.c_str());
        std::abort();
    }
}

// A property of the reader did not hold: libFuzzer records the input as a crash.
[[noreturn]] inline void Broken(const char* what) {
    std::fprintf(stderr, "fuzz: property broken: %s\n", what);
    std::abort();
}

}  // namespace FuzzSupport
