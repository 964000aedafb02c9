#pragma once
// Vel::ResourceFileSystem: resolves resource paths ("$r/" paths relative to the resource root,
// paths relative to the thread's active path, literal "!" paths) and opens them through the
// registered file providers.
//
// Contract:
// - ResolveResourcePath trims the path, reads "\" as "/" and collapses runs of "/", keeping
//   the letter case (files are opened by the names the file system holds); the resource root
//   and mount prefixes are compared without regard to case.
// - The launcher registers no mount, provider or path translation and pushes no active path;
//   they are extension points with the lookup order below, set up before use.
// - The active-path stack is per thread. The mount table, provider list and translation hook
//   are guarded by one reader/writer lock (lookups read, registration writes); providers and
//   the hook are called with no lock held.

#include <functional>
#include <memory>
#include <string>

#include "foundation/files/XMLParser.h"

namespace Vel {

class ResourceFileSystem {
public:
    // A mounted part of the resource tree; its kind selects the providers that may open its
    // files.
    class IMount {
    public:
        virtual ~IMount() = default;
        virtual unsigned GetKind() const = 0;
        // Whether code running under this mount may open files of the other mount.
        virtual bool Accepts(const IMount& other) const = 0;
    };

    struct ActivePath {
        std::string path;
        bool restricted = false;  // true: only files of mounts this path's mount accepts
    };

    // The providers' hook for parsers.
    class XMLParser_Impl final : public XMLParser::IFileProvider {
    public:
        // True when the path may be opened from this thread and a provider opened it.
        bool Open(const std::string& path, unsigned mode) override;
    };

    static void AddMount(std::string prefix, std::shared_ptr<IMount> mount);
    static void AddProvider(unsigned kind, std::shared_ptr<XMLParser::IFileProvider> provider);
    static void SetPathTranslation(std::function<std::string(const std::string&)> hook);
    // Drops every mount, provider and the hook.
    static void Reset();

    // The calling thread's stack of active paths.
    static void PushActivePath(ActivePath entry);
    static void PopActivePath();
};

// "" for an empty path; a path starting with "!" unchanged; a path below the resource root
// relative to it; "$r/" + p as p and "$l/" + p as the active path's mount prefix + p; any
// other path after the thread's active path.
std::string ResolveResourcePath(const std::string& path);

}  // namespace Vel
