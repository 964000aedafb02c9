// The launcher's exports: the resource key's typed reads and appends for int, float and text,
// found by their mangled names as another module of the process finds them, and nothing else
// of ours in the launcher's dynamic symbol table. A PIE executable cannot be dlopen'ed, so the
// calls go through this program, linked with the launcher's own export list, and the launcher's
// table is read with nm.
#include "foundation/files/ResourceKey.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <string_view>

namespace Vel {
namespace {

constexpr const char* kGetInt = "_ZNK3Vel15ResourceBaseKey8GetParamIiEET_St17basic_string_viewIcSt11char_traitsIcEE";
constexpr const char* kGetFloat = "_ZNK3Vel15ResourceBaseKey8GetParamIfEET_St17basic_string_viewIcSt11char_traitsIcEE";
constexpr const char* kGetText =
    "_ZNK3Vel15ResourceBaseKey8GetParamINSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEEEET_St17basic_string_"
    "viewIcS5_E";
constexpr const char* kSetInt = "_ZN3Vel15ResourceBaseKey8SetParamIiEEvSt17basic_string_viewIcSt11char_traitsIcEERKT_";
constexpr const char* kSetFloat =
    "_ZN3Vel15ResourceBaseKey8SetParamIfEEvSt17basic_string_viewIcSt11char_traitsIcEERKT_";
constexpr const char* kSetText =
    "_ZN3Vel15ResourceBaseKey8SetParamINSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEEEEvSt17basic_string_"
    "viewIcS5_ERKT_";

// A member function reached by its address: in the Itanium C++ ABI the object is the first
// argument (after the hidden address of a class result such as std::string).
using GetIntFn = int (*)(const ResourceBaseKey*, std::string_view);
using GetFloatFn = float (*)(const ResourceBaseKey*, std::string_view);
using GetTextFn = std::string (*)(const ResourceBaseKey*, std::string_view);
using SetIntFn = void (*)(ResourceBaseKey*, std::string_view, const int&);
using SetFloatFn = void (*)(ResourceBaseKey*, std::string_view, const float&);
using SetTextFn = void (*)(ResourceBaseKey*, std::string_view, const std::string&);

struct DlClose {
    void operator()(void* handle) const { ::dlclose(handle); }
};

template <typename Fn>
Fn Find(void* program, const char* name) {
    void* address = ::dlsym(program, name);
    EXPECT_NE(address, nullptr) << name << " is not exported: " << ::dlerror();
    return reinterpret_cast<Fn>(address);
}

// The defined names of a binary's dynamic symbol table that are ours (namespace Vel, the Vel
// and Trailstarter classes).
std::set<std::string> OurDynamicSymbols(const std::string& binary) {
    const std::string command = std::string("'") + TRAILSTARTER_NM + "' -D --defined-only '" + binary + "'";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), &::pclose);
    std::set<std::string> names;
    if (!pipe) {
        ADD_FAILURE() << "cannot run " << command;
        return names;
    }
    char line[4096];
    while (std::fgets(line, sizeof line, pipe.get()) != nullptr) {
        std::string_view text(line);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
        const auto space = text.rfind(' ');
        const std::string_view name = space == std::string_view::npos ? text : text.substr(space + 1);
        if (name.find("Vel") != std::string_view::npos || name.find("Trailstarter") != std::string_view::npos)
            names.emplace(name);
    }
    const int status = ::pclose(pipe.release());
    EXPECT_EQ(status, 0) << command;
    return names;
}

TEST(ExportedInterfaces, TheResourceKeyOperationsAreFoundByNameAndWork) {
    const std::unique_ptr<void, DlClose> program(::dlopen(nullptr, RTLD_NOW));
    ASSERT_NE(program, nullptr) << ::dlerror();
    const auto getInt = Find<GetIntFn>(program.get(), kGetInt);
    const auto getFloat = Find<GetFloatFn>(program.get(), kGetFloat);
    const auto getText = Find<GetTextFn>(program.get(), kGetText);
    const auto setInt = Find<SetIntFn>(program.get(), kSetInt);
    const auto setFloat = Find<SetFloatFn>(program.get(), kSetFloat);
    const auto setText = Find<SetTextFn>(program.get(), kSetText);
    ASSERT_FALSE(::testing::Test::HasFailure());

    ResourceBaseKey key;
    setInt(&key, "id", 12);
    setFloat(&key, "scale", 0.5f);
    setText(&key, "name", std::string("abc"));
    setInt(&key, "id", 13);  // appended; the first pair stays in force
    EXPECT_EQ(key.GetText(), "&id=12&scale=0.5&name=abc&id=13");
    EXPECT_EQ(getInt(&key, "id"), 12);
    EXPECT_EQ(getFloat(&key, "scale"), 0.5f);
    EXPECT_EQ(getText(&key, "name"), "abc");
    EXPECT_EQ(getText(&key, "scale"), "0.5");
    EXPECT_EQ(getInt(&key, "name"), 0);
    EXPECT_EQ(getFloat(&key, "missing"), 0.0f);
}

TEST(ExportedInterfaces, TheLauncherExportsExactlyTheseOfOurs) {
    const std::set<std::string> expected = {kGetInt, kGetFloat, kGetText, kSetInt, kSetFloat, kSetText};
    EXPECT_EQ(OurDynamicSymbols(TRAILSTARTER_LAUNCHER), expected) << TRAILSTARTER_LAUNCHER;
    // This program is linked with the same list: it shows the same table.
    EXPECT_EQ(OurDynamicSymbols(std::filesystem::read_symlink("/proc/self/exe").string()), expected);
}

}  // namespace
}  // namespace Vel
